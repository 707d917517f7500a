#include "log_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

void log_file_write(LogFile *file, const char *text, size_t size)
{
    ssize_t written = write(file->fd, text, size);
    (void)written;
}
