#include "trace.h"

#include <windows.h>

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
