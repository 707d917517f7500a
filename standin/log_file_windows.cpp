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

// A pipe or console gives a writer no way to tell whether it has room (and Wine does not
// cancel a write blocked on one), so lines for those go through one writer thread of the log's
// own, for as long as the log is open: the device thread and the entry points never wait for
// the destination. A writer blocked for good ends with the process.
//
// The writer starts with the first line that needs it, never while the library is being loaded:
// a thread made in DllMain runs only once the loader lets go, and a host that loads the library
// with LoadLibrary and lets go of it with FreeLibrary would be left with it.
struct LogFile {
    explicit LogFile(HANDLE h) : handle(h), direct(GetFileType(h) == FILE_TYPE_DISK) {}

    HANDLE handle;
    bool direct;  // a disk file takes a line at once
    std::mutex mutex;  // guards everything below
    bool writer_asked = false;  // a writer was made, or could not be
    bool writer = false;        // the writer runs
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

DWORD WINAPI drain(void *argument)
{
    LogFile *file = static_cast<LogFile *>(argument);
    std::unique_lock<std::mutex> lock(file->mutex);
    for (;;) {
        file->changed.wait(lock, [file] { return !file->pending.empty(); });
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

// Called with the mutex held, never from DllMain. A plain Windows thread: failing to make one
// costs the lines, not an exception thrown into the caller of an entry point.
void start_writer(LogFile *file)
{
    if (file->writer_asked)
        return;
    file->writer_asked = true;
    HANDLE writer = CreateThread(nullptr, 0, drain, file, 0, nullptr);
    file->writer = writer != nullptr;
    if (writer != nullptr)
        CloseHandle(writer);
}

// Called with the mutex held. Lines are dropped once the writer cannot take them.
void queue(LogFile *file, const char *text, size_t size)
{
    if ((file->writer_asked && !file->writer) || file->pending.size() + size > kMostPending) {
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

// A console or a disk file takes a short line at once (a console waits only while the operator
// holds a selection, and the host's own line would wait then too). A Windows pipe does when told
// not to wait. That mode belongs to the pipe's file object, not to this handle: for the moment of
// this one write it holds for every process that shares the object (a parent's `2>&1`, a CI
// log), whose writes may then come back short, and it lets this write be short too (counted as
// failed). A pipe that cannot be told so (Wine's stand-in for a Unix pipe) has the line queued:
// it is written once the writer starts, at the first need after the load.
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
    LogLosses losses = file->losses;
    file->losses = {};
    return losses;
}
