/* The floor the server is measured against: the same run in plain C, with the same lock,
 * against the same library. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Vesk_Device.h"

#define LOCK_NAME "VeskServer{CC6D3466-0938-4A88-979C-569BA183DCD4}"

static int private_folder(const struct stat *st)
{
    return S_ISDIR(st->st_mode) && st->st_uid == getuid() && (st->st_mode & 077) == 0;
}

/* 1: another copy holds the lock. */
static int already_running(void)
{
    char folder[64];
    struct stat st;
    int dir, fd, rc;

    snprintf(folder, sizeof folder, "/run/user/%u", (unsigned)getuid());
    if (lstat(folder, &st) != 0 || !private_folder(&st)) {
        snprintf(folder, sizeof folder, "/tmp/VeskServer-%u", (unsigned)getuid());
        mkdir(folder, 0700);
    }
    dir = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return 0;
    if (fstat(dir, &st) != 0 || !private_folder(&st)) {
        close(dir);
        return 0;
    }
    fd = openat(dir, LOCK_NAME, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    close(dir);
    if (fd < 0)
        return 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
        close(fd);
        return 0;
    }
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
