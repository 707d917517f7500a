#include "log_file.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <windows.h>

namespace {

// Lines waiting for the writer beyond this are dropped: a destination that takes nothing must
// not make the library grow without end.
constexpr size_t kMostPending = 64 * 1024;

std::string error_text(DWORD code)
{
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.'))
        --n;
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

}  // namespace

// A pipe or console cannot say whether a write would wait, so lines for those go through a
// writer thread of the log's own, started at the first need (never in DllMain) and ended at close.
struct LogFile {
    explicit LogFile(HANDLE h) : handle(h), direct(GetFileType(h) == FILE_TYPE_DISK) {}

    HANDLE handle;
    bool direct;  // a disk file takes a line at once
    std::mutex mutex;  // guards everything below
    bool writer = false;           // a writer runs
    bool writer_failed = false;    // none could be made: lines are dropped
    bool stop = false;             // the writer ends once nothing is pending
    std::condition_variable changed;
    std::string pending;  // whole lines, in order, that the writer has not taken yet
    bool writing = false;  // the writer holds lines it has taken
    LogLosses losses;

    // `written` is what WriteFile set: the call must have returned before this one is made.
    void count_write(BOOL ok, DWORD written, size_t size)
    {
        if (ok && written == size)
            return;
        ++losses.failed;
        losses.error = ok ? "only part of a line was written" : error_text(GetLastError());
    }
};

namespace {

// Writes what is queued until told to stop with nothing left.
void write_until_stopped(LogFile *file)
{
    std::unique_lock<std::mutex> lock(file->mutex);
    for (;;) {
        file->changed.wait(lock, [file] { return !file->pending.empty() || file->stop; });
        if (file->pending.empty()) {
            file->writer = file->stop = false;
            file->changed.notify_all();
            return;
        }
        std::string lines;
        lines.swap(file->pending);
        file->writing = true;
        lock.unlock();
        DWORD written = 0;
        BOOL ok = WriteFile(file->handle, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
        lock.lock();
        file->count_write(ok, written, lines.size());
        file->writing = false;
        file->changed.notify_all();
    }
}

// The writer holds a reference to this library, so that a host's FreeLibrary never unloads the
// code it runs; a write blocked for good keeps both until the process ends.
DWORD WINAPI drain(void *argument)
{
    write_until_stopped(static_cast<LogFile *>(argument));
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&drain), &self);
    FreeLibraryAndExitThread(self, 0);
}

// Called with the mutex held, never from DllMain. A plain Windows thread: failing to make one
// costs the lines, not an exception thrown into the caller of an entry point.
void start_writer(LogFile *file)
{
    if (file->writer || file->writer_failed)
        return;
    HMODULE self = nullptr;
    HANDLE writer = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&drain), &self)) {
        writer = CreateThread(nullptr, 0, drain, file, 0, nullptr);
        if (writer == nullptr)
            FreeLibrary(self);
    }
    file->writer = writer != nullptr;
    file->writer_failed = writer == nullptr;
    if (writer != nullptr)
        CloseHandle(writer);
}

// Called with the mutex held. Lines are dropped once the writer cannot take them.
void queue(LogFile *file, const char *text, size_t size)
{
    if (file->writer_failed || file->pending.size() + size > kMostPending) {
        ++file->losses.dropped;
        return;
    }
    file->pending.append(text, size);
    file->changed.notify_all();
}

}  // namespace

LogFile *log_file_open(const char *path, std::string *why)
{
    // FILE_APPEND_DATA alone makes every write land at the end, like O_APPEND.
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = error_text(GetLastError());
        return nullptr;
    }
    return new LogFile(handle);
}

LogFile *log_file_standard_error()
{
    return new LogFile(GetStdHandle(STD_ERROR_HANDLE));
}

void log_file_write(LogFile *file, const char *text, size_t size)
{
    std::lock_guard<std::mutex> lock(file->mutex);
    if (file->direct) {
        DWORD written = 0;
        BOOL ok = WriteFile(file->handle, text, static_cast<DWORD>(size), &written, nullptr);
        file->count_write(ok, written, size);
        return;
    }
    start_writer(file);
    queue(file, text, size);
}

// A console or disk file takes a short line at once, a Windows pipe set to PIPE_NOWAIT for the
// one write (a mode of the pipe's file object: docs/standin.md); others queue it for the writer.
void log_file_write_now(LogFile *file, const char *text, size_t size)
{
    DWORD type = GetFileType(file->handle);
    DWORD state = PIPE_READMODE_BYTE | PIPE_WAIT;  // given back when it cannot be read
    bool pipe = type == FILE_TYPE_PIPE;
    if (pipe) {
        GetNamedPipeHandleStateA(file->handle, &state, nullptr, nullptr, nullptr, nullptr, 0);
        DWORD no_wait = (state & PIPE_READMODE_MESSAGE) | PIPE_NOWAIT;
        pipe = SetNamedPipeHandleState(file->handle, &no_wait, nullptr, nullptr);
    }
    std::lock_guard<std::mutex> lock(file->mutex);
    if (!pipe && type != FILE_TYPE_CHAR && type != FILE_TYPE_DISK) {
        queue(file, text, size);
        return;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file->handle, text, static_cast<DWORD>(size), &written, nullptr);
    if (pipe)
        SetNamedPipeHandleState(file->handle, &state, nullptr, nullptr);
    if (pipe && ok && written == 0)
        ++file->losses.dropped;
    else
        file->count_write(ok, written, size);
}

LogLosses log_file_drain(LogFile *file, int wait_ms)
{
    std::unique_lock<std::mutex> lock(file->mutex);
    if (!file->pending.empty())
        start_writer(file);
    file->changed.wait_for(lock, std::chrono::milliseconds(wait_ms),
                           [file] { return file->pending.empty() && !file->writing; });
    file->losses.dropped += static_cast<uint64_t>(std::count(file->pending.begin(), file->pending.end(), '\n'));
    file->pending.clear();
    file->stop = file->writer;
    file->changed.notify_all();
    LogLosses losses = file->losses;
    file->losses = {};
    return losses;
}
