#include "trace.h"

#include <windows.h>

#include "log_file.h"

void trace_append(const char *line, size_t size) noexcept
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("VESK_DEVICE_TRACE", path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return;
    // FILE_APPEND_DATA alone makes every write land at the end, like O_APPEND.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // Through the log's writer, not the C runtime's stderr: a standard error nobody drains
        // must not hold up the load, nor the exit, which would flush what the runtime buffered.
        say("stand-in library, no real device");
        trace("load");
    }
    return TRUE;
}
