/* The floor the server is measured against: the same run in plain C, with the same lock,
 * against the same library. */
#define _GNU_SOURCE /* O_PATH */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Vesk_Device.h"

/* 1: another copy holds the lock, a flock on the folder itself. */
static int already_running(void)
{
    char folder[64], self[64];
    struct stat st;
    int path, fd, rc;

    snprintf(folder, sizeof folder, "/tmp/VeskServer-%u", (unsigned)getuid());
    mkdir(folder, 0700);
    path = open(folder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (path < 0)
        return 0;
    snprintf(self, sizeof self, "/proc/self/fd/%d", path);
    if (fstat(path, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        ((st.st_mode & 07777) != 0700 && chmod(self, 0700) != 0)) {
        close(path);
        return 0;
    }
    fd = open(self, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(path);
    if (fd < 0)
        return 0;
    while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR)
        ;
    if (rc == 0)
        return 0;
    rc = errno;
    close(fd);
    return rc == EWOULDBLOCK;
}

int main(void)
{
    int c;

    puts("VeskServer Start!");
    fflush(stdout);
    if (already_running())
        return 0;
    EnableZMQData();
    OpenVeskDevice();
    SetConfig_Bool("bLogPackLost", true);
    while ((c = getchar()) != 'q' && c != EOF)
        ;
    CloseVeskDevice();
    getchar();
    puts("VeskServer Closed!");
    fflush(stdout);
    return 0;
}
