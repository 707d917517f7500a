#include "log_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

#include "vesk/says.h"

struct LogFile {
    int fd;
    std::mutex mutex;  // guards the counts
    LogLosses losses;
};

LogFile *log_file_open(const char *path, std::string *why)
{
    // O_NONBLOCK: a FIFO nobody reads holds up neither the open nor a write. O_NOFOLLOW: another
    // user's link in a shared folder must not lead root's copy to a file of root's.
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        *why = errno == ENXIO ? "it " VESK_SAYS_FIFO : errno == ELOOP ? "it " VESK_SAYS_SYMLINK : std::strerror(errno);
        return nullptr;
    }
    return new LogFile{fd, {}, {}};
}

LogFile *log_file_standard_error()
{
    return new LogFile{STDERR_FILENO, {}, {}};
}

// Standard error's open file is shared with the process's parent and siblings, so O_NONBLOCK
// cannot be set on it: a pipe or terminal that reports room takes a short line at once instead.
void log_file_write(LogFile *file, const char *text, size_t size)
{
    struct pollfd out = {file->fd, POLLOUT, 0};
    bool room = poll(&out, 1, 0) == 1 && (out.revents & POLLOUT) != 0;
    ssize_t written = room ? write(file->fd, text, size) : -1;
    int error = errno;
    std::lock_guard<std::mutex> lock(file->mutex);
    if (written == static_cast<ssize_t>(size))
        return;
    if (!room || (written < 0 && (error == EAGAIN || error == EWOULDBLOCK))) {
        ++file->losses.dropped;
        return;
    }
    ++file->losses.failed;
    file->losses.error = written < 0 ? std::strerror(error) : "only part of a line was written";
}

// No writer thread here: every write is at once or not at all.
void log_file_write_now(LogFile *file, const char *text, size_t size)
{
    log_file_write(file, text, size);
}

LogLosses log_file_drain(LogFile *file, int)
{
    std::lock_guard<std::mutex> lock(file->mutex);
    LogLosses losses = file->losses;
    file->losses = {};
    return losses;
}
