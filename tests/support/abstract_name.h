#pragma once

// Linux: holding a name in the abstract namespace, where the server's lock lives, from outside it.
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lock_name.h"

// A stream socket with `act` (bind, connect) done to `name`'s address and returning 0, or -1.
template <typename Act> int on_abstract_name(const std::string &name, int flags, Act act)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_un address;
    const socklen_t size = vesk_abstract_address(&address, name.c_str());
    if (act(fd, reinterpret_cast<sockaddr *>(&address), size) == 0)
        return fd;
    close(fd);
    return -1;
}

// A socket bound under `name`, listening with room for `backlog` unaccepted connections unless backlog < 0.
inline int hold_abstract_name(const std::string &name, int backlog)
{
    return on_abstract_name(name, 0, [&](int fd, sockaddr *address, socklen_t size) {
        return bind(fd, address, size) != 0 || (backlog >= 0 && listen(fd, backlog) != 0) ? -1 : 0;
    });
}

// A connection to `name` made without waiting.
inline int connect_to_name(const std::string &name) { return on_abstract_name(name, SOCK_NONBLOCK, connect); }

// A child of effective uid `uid` and real uid `real` (root only) that does `plant` and keeps what
// it made until it is killed, and dies with this process; its pid once `plant` succeeded, or -1.
inline pid_t squat_as(uid_t uid, const std::function<bool()> &plant, uid_t real)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    const pid_t self = getpid(), squatter = fork();
    if (squatter == 0) {
        // A change of uid clears the death signal, set after it; a parent already gone never sends it.
        if (setresuid(real, uid, uid) == 0 && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == self && plant() &&
            write(ready[1], "h", 1) == 1)
            pause();
        _exit(0);
    }
    close(ready[1]);
    char held = 'x';
    const bool ok = squatter > 0 && read(ready[0], &held, 1) == 1;  // none read when the child has ended
    close(ready[0]);
    if (!ok && squatter > 0 && kill(squatter, SIGKILL) == 0)
        waitpid(squatter, nullptr, 0);
    return ok ? squatter : -1;
}
