#include "report.h"

#include <cstdarg>
#include <cstdio>

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
        say_losses(losses, VESK_SAYS_OWN_LINES, "standard error");
        // The report gets its moment too; what becomes of it can be told to nobody.
        if (losses.dropped > 0 || losses.failed > 0)
            log_file_drain(standard_error(), wait_ms);
    } catch (...) {
        // Nothing is left to tell it with.
    }
}

