#include "standard_streams.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace {

// A standard descriptor left closed by the parent would go to the first file or pipe a
// library opens when it is loaded, and the server's lines or reads with it. glibc runs the
// executable's .preinit_array before any library's initialiser, so /dev/null gets there first.
void open_missing_standard_descriptors(int, char **, char **)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR);  // takes the lowest free number, which is fd
}

__attribute__((section(".preinit_array"), used)) void (*const open_missing)(int, char **, char **) =
    open_missing_standard_descriptors;

// A terminal that hangs up ends the read of its foreground job with EIO (or end of file) at once,
// while the SIGHUP that ends the process comes later, passed on by the shell. Only a process that
// outlives the grace, one that ignores SIGHUP, goes on to close the device.
int after_grace()
{
    struct timespec left = {kConsoleGraceMs / 1000, (kConsoleGraceMs % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return EOF;
}

// A terminal that has hung up fails even to say that it is one.
bool terminal_hung_up()
{
    return isatty(STDIN_FILENO) == 0 && errno == EIO;
}

}  // namespace

// SIGPIPE's default action would kill the server with the device still open.
void prepare_standard_streams()
{
    std::signal(SIGPIPE, SIG_IGN);
}

int read_input_byte()
{
    for (;;) {
        int c = std::getchar();
        if (c != EOF)
            return c;
        if (!std::ferror(stdin))
            return terminal_hung_up() ? after_grace() : EOF;
        int error = errno;
        std::clearerr(stdin);
        if (error == EIO)
            return after_grace();
        // A handler the device library installed without SA_RESTART interrupts the read.
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK)
            return EOF;
        // O_NONBLOCK belongs to the open file, which other processes share, so it is left
        // set: wait until there is something to read instead.
        struct pollfd input = {STDIN_FILENO, POLLIN, 0};
        while (poll(&input, 1, -1) < 0)
            if (errno != EINTR)
                return EOF;
    }
}
