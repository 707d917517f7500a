#include "log_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

struct LogFile {
    int fd;
};

LogFile *log_file_open(const char *path, const char **why)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = std::strerror(errno);
        return nullptr;
    }
    return new LogFile{fd};
}

LogFile *log_file_standard_error()
{
    static LogFile standard_error{STDERR_FILENO};
    return &standard_error;
}

// A pipe or terminal that reports room takes a short line at once. O_NONBLOCK cannot be set
// instead: it belongs to the open file, which the process's parent and siblings share.
bool log_file_write(LogFile *file, const char *text, size_t size)
{
    struct pollfd out = {file->fd, POLLOUT, 0};
    if (poll(&out, 1, 0) != 1 || (out.revents & POLLOUT) == 0)
        return false;
    return write(file->fd, text, size) == static_cast<ssize_t>(size);
}
