/* The floor the server is measured against: the same run in plain C, with the same lock,
 * against the same library. */
#define _GNU_SOURCE /* SOCK_CLOEXEC, struct ucred */
#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "Vesk_Device.h"
#include "lock_name.h"

/* 1: another copy of this user holds the lock, the abstract socket named after it and the uid. */
static int already_running(void)
{
    char name[VESK_USER_LOCK_NAME_SIZE];
    struct sockaddr_un address;
    struct ucred peer;
    socklen_t size, peer_size = sizeof peer;
    int attempt, fd, probe, rc, error;

    vesk_user_lock_name(name, (unsigned)getuid());
    size = vesk_abstract_address(&address, name);
    for (attempt = 0; attempt < 10; ++attempt) {
        if (attempt > 0) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, NULL);
        }
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return 0;
        if (bind(fd, (struct sockaddr *)&address, size) == 0) {
            listen(fd, SOMAXCONN);
            return 0;
        }
        error = errno;
        close(fd);
        if (error != EADDRINUSE)
            return 0;
        probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (probe < 0)
            return 0;
        rc = connect(probe, (struct sockaddr *)&address, size);
        error = errno;
        if (rc == 0)
            rc = getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0 && peer.uid == getuid();
        close(probe);
        if (rc == 1 || (rc < 0 && error == EAGAIN))
            return 1;
        if (rc == 0 || error != ECONNREFUSED)
            return 0;
    }
    return 0;
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
