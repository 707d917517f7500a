#include "log_file.h"

#include <windows.h>

struct LogFile {
    HANDLE handle;
};

LogFile *log_file_open(const char *path, const char **why)
{
    // FILE_APPEND_DATA alone makes every write land at the end, like O_APPEND.
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = GetLastError() == ERROR_ACCESS_DENIED ? "access denied" : "cannot be opened";
        return nullptr;
    }
    return new LogFile{handle};
}

LogFile *log_file_standard_error()
{
    static LogFile standard_error{GetStdHandle(STD_ERROR_HANDLE)};
    return &standard_error;
}

// An anonymous pipe tells no writer whether it has room, so here a pipe nobody drains still
// blocks the write.
bool log_file_write(LogFile *file, const char *text, size_t size)
{
    DWORD written = 0;
    return WriteFile(file->handle, text, static_cast<DWORD>(size), &written, nullptr) && written == size;
}
