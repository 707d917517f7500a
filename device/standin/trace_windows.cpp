#include "trace.h"

#include <cstdio>
#include <string>
#include <windows.h>

void trace(const char *event)
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("VESK_DEVICE_TRACE", path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return;
    // FILE_APPEND_DATA alone makes every write land at the end, like O_APPEND.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    std::string line = std::string(event) + '\n';
    DWORD written;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // Flushed at once: Wine's C runtime buffers a standard error that is a pipe, and a
        // line left in that buffer would be written at exit, when the pipe may be full.
        std::fputs("Vesk_Device: stand-in library, no real device\n", stderr);
        std::fflush(stderr);
        trace("load");
    }
    return TRUE;
}
