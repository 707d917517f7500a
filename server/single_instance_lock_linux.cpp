// Linux's named kernel object that vanishes with its last holder is a Unix socket bound in the
// abstract namespace: nobody can remove or replace the name, no file system holds it, bind
// reports atomically whether it was taken, and the kernel frees it with the socket's last
// descriptor however the process ends. Its scope is the network namespace.
#include "single_instance_lock_linux.h"

#include "lock_name.h"

#include <cerrno>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Outcome = SingleInstanceLock::Outcome;

namespace {

// A name that is bound but refuses connections belongs to a copy between its bind and its
// listen, or to one that has just gone; either is over within microseconds.
constexpr int kAttempts = 10;

enum class Holder { Ours, Someone, Gone };

// Who listens on the name. A blocking connect would wait while the holder's queue of
// connections nobody accepts is full, so the connect never blocks; a full queue (EAGAIN) takes
// thousands of refused copies, and it shows a holder that listens, as our copies do.
Holder holder_of(const sockaddr_un &address, socklen_t size)
{
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return Holder::Someone;
    Holder holder = Holder::Someone;
    struct ucred peer = {};
    socklen_t peer_size = sizeof peer;
    if (connect(probe, reinterpret_cast<const sockaddr *>(&address), size) == 0) {
        if (getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0 && peer.uid == getuid())
            holder = Holder::Ours;
    } else if (errno == EAGAIN) {
        holder = Holder::Ours;
    } else if (errno == ECONNREFUSED) {
        holder = Holder::Gone;
    }
    close(probe);
    return holder;
}

}  // namespace

Outcome take_lock_named(const char *name)
{
    sockaddr_un address;
    const socklen_t size = vesk_abstract_address(&address, name);
    if (size == 0)
        return Outcome::Taken;

    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
        // SOCK_CLOEXEC keeps programs this process starts from holding the lock.
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return Outcome::Taken;
        if (bind(fd, reinterpret_cast<const sockaddr *>(&address), size) == 0) {
            // Listening lets later copies ask whose it is; nobody ever accepts. fd stays open:
            // it is the lock. Were listen to fail, later copies would find the name refusing
            // and run unguarded, as when the lock cannot be had at all.
            listen(fd, SOMAXCONN);
            return Outcome::Taken;
        }
        const int error = errno;
        close(fd);
        if (error != EADDRINUSE)
            return Outcome::Taken;
        switch (holder_of(address, size)) {
        case Holder::Ours:
            return Outcome::AlreadyRunning;
        case Holder::Someone:  // another user's socket under our name: run unguarded, never refused
            return Outcome::Taken;
        case Holder::Gone:
            break;
        }
    }
    return Outcome::Taken;
}

// Nothing in the environment moves the name.
Outcome SingleInstanceLock::take()
{
    char name[VESK_USER_LOCK_NAME_SIZE];
    vesk_user_lock_name(name, static_cast<unsigned>(getuid()));
    return take_lock_named(name);
}
