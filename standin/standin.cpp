// The stand-in for the maker's device library: each entry point records its call through
// trace() and hands it to the simulated device.
#include <cstdio>
#include <exception>

#include "Vesk_Device.h"
#include "report.h"
#include "trace.h"
#include "simulation.h"
#include "vesk/call_trace.h"

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
