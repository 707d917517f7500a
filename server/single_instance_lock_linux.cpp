// Linux's named kernel object that vanishes with its last holder is a Unix socket bound in the
// abstract namespace: nobody can remove or replace the name, no file system holds it, bind
// reports atomically whether it was taken, and the kernel frees it with the socket's last
// descriptor however the process ends. Its scope is the network namespace.
#include "single_instance_lock_linux.h"

#include "lock_name.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Outcome = SingleInstanceLock::Outcome;

namespace {

// A name found free after a failed bind is bound again; copies that come and go cannot keep
// this one trying for ever.
constexpr int kAttempts = 10;

// Who holds the name. Unseen: bound by a socket we cannot see as ours (another user's), or
// nobody can tell; either way the run goes on unguarded, never refused.
enum class Holder { Ours, Unseen, Gone };

// The inode of the socket bound under `name` and unconnected (listening or not yet), 0 when
// there is none, -1 when the network namespace's table cannot be read. Connections waiting in
// a queue carry the listener's name too, but in another state.
long bound_inode(const char *name)
{
    FILE *table = std::fopen("/proc/net/unix", "re");
    if (table == nullptr)
        return -1;
    // "Num RefCount Protocol Flags Type St Inode Path"; an abstract path starts with '@'.
    char path[sizeof(sockaddr_un::sun_path) + 2], line[256];
    std::snprintf(path, sizeof path, "@%s\n", name);
    long found = 0;
    while (found == 0 && std::fgets(line, sizeof line, table) != nullptr) {
        unsigned state = 0;
        long inode = 0;
        int at = 0;
        if (std::sscanf(line, "%*s %*s %*s %*s %*s %x %ld %n", &state, &inode, &at) == 2 && at > 0 && state == 1 &&
            std::strcmp(line + at, path) == 0)
            found = inode;
    }
    std::fclose(table);
    return found;
}

// Whether process `pid` runs as our effective uid. Read from its status: a process that changed
// its uid is not dumpable, and its /proc folder then belongs to root whoever it runs as.
bool runs_as_us(int pid)
{
    char path[64], line[256];
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *status = std::fopen(path, "re");
    if (status == nullptr)
        return false;
    bool ours = false;
    unsigned real, effective;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "Uid: %u %u", &real, &effective) == 2) {
            ours = effective == geteuid();
            break;
        }
    std::fclose(status);
    return ours;
}

// Whether process `pid` holds `socket` ("socket:[inode]") among its descriptors.
bool holds(int pid, const char *socket)
{
    char folder[64];
    std::snprintf(folder, sizeof folder, "/proc/%d/fd", pid);
    DIR *fds = opendir(folder);
    if (fds == nullptr)
        return false;
    const size_t length = std::strlen(socket);
    bool held = false;
    while (const dirent *fd = held ? nullptr : readdir(fds)) {
        char target[32];
        held = readlinkat(dirfd(fds), fd->d_name, target, sizeof target) == static_cast<ssize_t>(length) &&
               std::memcmp(target, socket, length) == 0;
    }
    closedir(fds);
    return held;
}

// Whether a process of ours holds socket `inode`; another user's descriptors cannot be read.
bool held_by_us(long inode)
{
    DIR *processes = opendir("/proc");
    if (processes == nullptr)
        return false;
    char socket[32];
    std::snprintf(socket, sizeof socket, "socket:[%ld]", inode);
    bool held = false;
    while (const dirent *process = held ? nullptr : readdir(processes)) {
        const int pid = std::atoi(process->d_name);
        held = pid > 0 && runs_as_us(pid) && holds(pid, socket);
    }
    closedir(processes);
    return held;
}

// Who holds the name. The holder answers when it listens with room in its queue, and the kernel
// then says whose it is; a blocking connect would wait on a full queue, so none blocks. A full
// queue (EAGAIN: thousands of refused copies, or another user's listen(fd, 0)) or a socket not
// yet listening (ECONNREFUSED: a copy between its bind and its listen, however long it was
// preempted there) says nothing of the holder: the kernel's tables are asked instead.
Holder holder_of(const char *name, const sockaddr_un &address, socklen_t size)
{
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return Holder::Unseen;
    Holder holder = Holder::Unseen;
    struct ucred peer = {};
    socklen_t peer_size = sizeof peer;
    if (connect(probe, reinterpret_cast<const sockaddr *>(&address), size) == 0) {
        if (getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0 && peer.uid == geteuid())
            holder = Holder::Ours;
    } else if (errno == EAGAIN || errno == ECONNREFUSED) {
        const long inode = bound_inode(name);
        holder = inode == 0 ? Holder::Gone : inode > 0 && held_by_us(inode) ? Holder::Ours : Holder::Unseen;
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
        // SOCK_CLOEXEC keeps programs this process starts from holding the lock.
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return Outcome::Taken;
        if (bind(fd, reinterpret_cast<const sockaddr *>(&address), size) == 0) {
            // Listening lets later copies ask whose it is; nobody ever accepts. fd stays open:
            // it is the lock. Were listen to fail, later copies would find it ours in /proc.
            listen(fd, SOMAXCONN);
            return Outcome::Taken;
        }
        const int error = errno;
        close(fd);
        if (error != EADDRINUSE)
            return Outcome::Taken;
        switch (holder_of(name, address, size)) {
        case Holder::Ours:
            return Outcome::AlreadyRunning;
        case Holder::Unseen:
            return Outcome::Taken;
        case Holder::Gone:
            break;
        }
    }
    return Outcome::Taken;
}

// The effective uid, which the kernel records as the holder's and SO_PEERCRED reports. Nothing
// in the environment moves the name. A user namespace that shares the network namespace sees
// uids of its own, so its copies take names of their own: it is a scope of its own.
Outcome SingleInstanceLock::take()
{
    char name[VESK_USER_LOCK_NAME_SIZE];
    vesk_user_lock_name(name, static_cast<unsigned>(geteuid()));
    return take_lock_named(name);
}
