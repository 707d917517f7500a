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

// A socket bound under `name`, listening with room for `backlog` unaccepted connections unless
// backlog < 0; -1 if the name cannot be had.
inline int hold_abstract_name(const std::string &name, int backlog)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    const socklen_t size = vesk_abstract_address(&address, name.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || (backlog >= 0 && listen(fd, backlog) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A connection to `name` made without waiting, or -1.
inline int connect_to_name(const std::string &name)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address;
    const socklen_t size = vesk_abstract_address(&address, name.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A child of effective uid `uid` and real uid `real` (root only) that does `plant` and keeps what
// it made until it is killed, and dies with this process; its pid once `plant` succeeded, or -1.
inline pid_t squat_as(uid_t uid, const std::function<bool()> &plant, uid_t real)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    const pid_t self = getpid(), squatter = fork();
    if (squatter == 0) {
        // A change of uid clears the death signal, so it is set after; a parent already gone
        // would never send it.
        const bool held = setresuid(real, uid, uid) == 0 && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 &&
                          getppid() == self && plant();
        (void)!write(ready[1], held ? "h" : "x", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char held = 'x';
    const bool ok = squatter > 0 && read(ready[0], &held, 1) == 1 && held == 'h';
    close(ready[0]);
    if (!ok && squatter > 0) {
        kill(squatter, SIGKILL);
        waitpid(squatter, nullptr, 0);
    }
    return ok ? squatter : -1;
}

// A child of uid `uid` (root only) that holds `name` as hold_abstract_name does.
inline pid_t squat_as(uid_t uid, const std::string &name, int backlog = SOMAXCONN)
{
    return squat_as(uid, [&] { return hold_abstract_name(name, backlog) >= 0; }, uid);
}
