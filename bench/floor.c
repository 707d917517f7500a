/* The floor the server is measured against: the same run in plain C, with the same lock,
 * against the same library. */
#define _GNU_SOURCE /* SOCK_CLOEXEC, struct ucred */
#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Vesk_Device.h"
#include "lines.h"
#include "lock_name.h"

/* 1: a copy of this user holds the lock. Only the server's common paths: a holder that cannot
 * answer (a full queue, not yet listening) is not looked up here. */
static int already_running(void)
{
    char name[VESK_USER_LOCK_NAME_SIZE];
    struct sockaddr_un address;
    struct ucred peer;
    socklen_t size, peer_size = sizeof peer;
    int fd, probe, held;

    vesk_user_lock_name(name, (unsigned)geteuid());
    size = vesk_abstract_address(&address, name);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    if (bind(fd, (struct sockaddr *)&address, size) == 0) {
        listen(fd, SOMAXCONN);
        return 0;
    }
    close(fd);
    if (errno != EADDRINUSE)
        return 0;
    probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return 0;
    held = connect(probe, (struct sockaddr *)&address, size) == 0 &&
           getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0 && peer.uid == geteuid();
    close(probe);
    return held;
}

int main(void)
{
    int c;

    puts(VESK_START_LINE);
    fflush(stdout);
    if (already_running())
        return 0;
    EnableZMQData();
    OpenVeskDevice();
    SetConfig_Bool(VESK_LOG_LOST_KEY, true);
    while ((c = getchar()) != 'q' && c != EOF)
        ;
    CloseVeskDevice();
    getchar();
    puts(VESK_CLOSED_LINE);
    fflush(stdout);
    return 0;
}
