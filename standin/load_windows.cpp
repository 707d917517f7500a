// What the library does when it is loaded, before the host's main runs.
#include <windows.h>

#include "report.h"
#include "trace.h"
#include "vesk/call_trace.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // Not through the C runtime's stderr: a standard error nobody drains must not hold up
        // the load, nor the exit, which would flush what the runtime buffered.
        say_at_load();
        trace(VESK_TRACE_LOAD);
    }
    return TRUE;
}
