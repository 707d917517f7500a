#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

void trace(const char *event)
{
    const char *path = std::getenv("VESK_DEVICE_TRACE");
    if (path == nullptr || *path == '\0')
        return;
    // O_APPEND and a single write keep each line whole when several copies share a file.
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string line = std::string(event) + '\n';
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

__attribute__((constructor)) static void on_load()
{
    std::fputs("Vesk_Device: stand-in library, no real device\n", stderr);
    trace("load");
}
