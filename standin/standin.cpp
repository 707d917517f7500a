// The stand-in for the maker's device library: each entry point records its call through
// trace() and hands it to the simulated device.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Vesk_Device.h"
#include "log_file.h"
#include "simulation.h"
#include "standin.h"
#include "trace.h"
#include "vesk/call_trace.h"
#include "vesk/says.h"

namespace {

// Standard error as say()'s own log: its losses are counted apart from the lost-packet log's,
// which may go to standard error too.
LogFile *standard_error()
{
    static LogFile *file = log_file_standard_error();
    return file;
}

}  // namespace

void say(VESK_PRINTF_FORMAT const char *format, ...) noexcept
{
    char message[480], line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    int n = std::snprintf(line, sizeof line, "Vesk_Device: %s\n", message);
    try {
        log_file_write(standard_error(), line, static_cast<size_t>(n));
    } catch (...) {
        // Nothing is left to tell it with.
    }
}

void say_at_load() noexcept
{
    static const char line[] = VESK_SAYS_LOADED "\n";
    try {
        log_file_write_now(standard_error(), line, sizeof line - 1);
    } catch (...) {
        // Nothing is left to tell it with.
    }
}

void say_losses(const LogLosses &losses, const char *lines, const char *destination) noexcept
{
    if (losses.dropped > 0)
        say("%llu %s" VESK_SAYS_DROPPED "%s would not take them at once",
            static_cast<unsigned long long>(losses.dropped), lines, destination);
    if (losses.failed > 0)
        say("%llu %s " VESK_SAYS_NOT_WRITTEN "%s", static_cast<unsigned long long>(losses.failed), lines,
            losses.error.c_str());
}

void say_drain(int wait_ms) noexcept
{
    try {
        LogLosses losses = log_file_drain(standard_error(), wait_ms);
        say_losses(losses, "lines of its own", "standard error");
        // The report gets its moment too; what becomes of it can be told to nobody.
        if (losses.dropped > 0 || losses.failed > 0)
            log_file_drain(standard_error(), wait_ms);
    } catch (...) {
        // Nothing is left to tell it with.
    }
}

void trace(const char *event) noexcept
{
    char line[256];
    size_t n = std::min(std::strlen(event), sizeof line - 1);
    std::memcpy(line, event, n);
    line[n++] = '\n';
    trace_append(line, n);
}

namespace {

// The host is C and may be anything: no exception may cross an entry point.
template <typename Call>
void guarded(const char *entry, Call call) noexcept
{
    try {
        call();
    } catch (const std::exception &e) {
        say("%s failed: %s", entry, e.what());
    } catch (...) {
        say("%s failed", entry);
    }
}

}  // namespace

void EnableZMQData(void)
{
    trace(VESK_TRACE_ENABLE);
    guarded("EnableZMQData", simulation_enable_output);
}

void OpenVeskDevice(void)
{
    trace(VESK_TRACE_OPEN);
    guarded("OpenVeskDevice", simulation_open);
}

void SetConfig_Bool(const char *key, bool value)
{
    char event[160];
    std::snprintf(event, sizeof event, "SetConfig_Bool %.120s %s", key != nullptr ? key : "(null)",
                  value ? "true" : "false");
    trace(event);
    guarded("SetConfig_Bool", [&] { simulation_set(key, value); });
}

// The test build leaves this one out to stand for a library that lacks a name.
#ifndef VESK_STANDIN_LACKS_CLOSE
void CloseVeskDevice(void)
{
    trace(VESK_TRACE_CLOSE);
    guarded("CloseVeskDevice", simulation_close);
}
#endif
