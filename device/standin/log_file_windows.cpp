#include "log_file.h"

#include <mutex>
#include <string>
#include <windows.h>

namespace {

// Lines waiting for a writer beyond this are dropped: a destination that takes nothing must
// not make the library grow without end.
constexpr size_t kMostPending = 64 * 1024;

}  // namespace

// A pipe or console gives a writer no way to tell whether it has room (and Wine does not
// cancel a write blocked on one), so lines for those go through a writer thread of their own:
// the device thread and the close never wait for the destination. The writer runs only
// while there is something to write; one blocked for good ends with the process.
struct LogFile {
    explicit LogFile(HANDLE h) : handle(h), direct(GetFileType(h) == FILE_TYPE_DISK) {}

    HANDLE handle;
    bool direct;  // a disk file takes a line at once
    std::mutex mutex;
    std::string pending;  // whole lines, in order, that the writer has not taken yet
    bool writing = false;
};

namespace {

bool write_all(HANDLE handle, const char *text, size_t size)
{
    DWORD written = 0;
    return WriteFile(handle, text, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

DWORD WINAPI drain(void *argument)
{
    LogFile *file = static_cast<LogFile *>(argument);
    std::unique_lock<std::mutex> lock(file->mutex);
    while (!file->pending.empty()) {
        std::string lines;
        lines.swap(file->pending);
        lock.unlock();
        write_all(file->handle, lines.data(), lines.size());
        lock.lock();
    }
    file->writing = false;
    return 0;
}

}  // namespace

LogFile *log_file_open(const char *path, const char **why)
{
    // FILE_APPEND_DATA alone makes every write land at the end, like O_APPEND.
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = GetLastError() == ERROR_ACCESS_DENIED ? "access denied" : "cannot be opened";
        return nullptr;
    }
    return new LogFile(handle);
}

LogFile *log_file_standard_error()
{
    static LogFile *standard_error = new LogFile(GetStdHandle(STD_ERROR_HANDLE));
    return standard_error;
}

bool log_file_write(LogFile *file, const char *text, size_t size)
{
    if (file->direct)
        return write_all(file->handle, text, size);
    std::lock_guard<std::mutex> lock(file->mutex);
    if (file->pending.size() + size > kMostPending)
        return false;
    if (!file->writing) {
        // A plain Windows thread: failing to make one costs a line, not an exception thrown
        // into the caller of an entry point. It cannot take the line before the lock is let go.
        HANDLE writer = CreateThread(nullptr, 0, drain, file, 0, nullptr);
        if (writer == nullptr)
            return false;
        CloseHandle(writer);
        file->writing = true;
    }
    file->pending.append(text, size);
    return true;
}
