// What the library does when it is loaded, before the host's main runs.
#include "report.h"
#include "trace.h"
#include "vesk/call_trace.h"

__attribute__((constructor)) static void on_load()
{
    say_at_load();
    trace(VESK_TRACE_LOAD);
}
