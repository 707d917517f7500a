#include "trace.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "report.h"
#include "vesk/says.h"

void trace_append(const char *line, size_t size) noexcept
{
    static std::atomic<bool> off{false};
    const char *path = std::getenv("VESK_DEVICE_TRACE");
    if (off || path == nullptr || *path == '\0')
        return;
    // O_APPEND and one write keep lines whole across copies; O_NONBLOCK and O_NOFOLLOW as for
    // the log: no FIFO holds it up, no link is followed.
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        if ((errno == ENXIO || errno == ELOOP) && !off.exchange(true))
            say(VESK_SAYS_NO_TRACE "%s %s", path, errno == ENXIO ? VESK_SAYS_FIFO : VESK_SAYS_SYMLINK);
        return;
    }
    ssize_t written = write(fd, line, size);
    (void)written;
    close(fd);
}
