// Linux's named object that goes with its last holder is a Unix socket in the abstract namespace
// (unix(7)); its scope is the network namespace (docs/lock.md).
#include "single_instance_lock_linux.h"

#include "lock_name.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Outcome = SingleInstanceLock::Outcome;

namespace {

// A name found free after a failed bind is bound again; copies that come and go cannot keep
// this one trying for ever.
constexpr int kAttempts = 10;

// How long a socket bound with no holder in sight is watched before it counts as another's:
// before Linux 6.2 alone, and only after a holder could not answer.
constexpr int kLooks = 40, kLookIntervalUs = 5000;

// Who holds the name. Unseen: bound by a socket we cannot see as ours (another user's), or
// nobody can tell; either way the run goes on unguarded, never refused.
enum class Holder { Ours, Unseen, Gone };

// sk_state of a bound, unconnected AF_UNIX stream socket: TCP_CLOSE or TCP_LISTEN
// (include/net/tcp_states.h); accepted connections carry the name too, but are established.
constexpr unsigned kUnconnected = 7, kListening = 10;

// What the kernel says of the stream socket bound to exactly our address.
struct Bound {
    bool answered = false;  // the kernel answered the whole question
    int sockets = 0;        // found; a name has one socket of each type, so two are no answer
    unsigned inode = 0;     // the last one found
    bool has_uid = false;   // the kernel said who created it (UNIX_DIAG_UID, Linux 6.2 on)
    uid_t uid = 0;
};

// Takes one socket of the kernel's answer into `bound` if it is a stream socket whose name is
// exactly the `size` bytes at `name`.
void take_if_named(const nlmsghdr *h, const char *name, size_t size, Bound &bound)
{
    const auto *socket = static_cast<const unix_diag_msg *>(NLMSG_DATA(h));
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof *socket) || socket->udiag_type != SOCK_STREAM)
        return;
    Bound found;
    bool named = false;
    int left = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *socket));
    for (auto *a = reinterpret_cast<const rtattr *>(socket + 1); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == UNIX_DIAG_NAME) {
            named = RTA_PAYLOAD(a) == size && std::memcmp(RTA_DATA(a), name, size) == 0;
        } else if (a->rta_type == UNIX_DIAG_UID && RTA_PAYLOAD(a) == sizeof found.uid) {
            found.has_uid = true;
            std::memcpy(&found.uid, RTA_DATA(a), sizeof found.uid);
        }
    }
    if (named) {
        found.sockets = bound.sockets + 1;
        found.inode = socket->udiag_ino;
        bound = found;
    }
}

// The unconnected socket bound to `address`, by sock_diag(7): exact name bytes, type and (with
// `ask_uid`) creator's uid, which nobody else can write into, unlike /proc/net/unix's text.
Bound bound_socket(const sockaddr_un &address, socklen_t size, bool ask_uid)
{
    const int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0)
        return Bound();
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } question = {};
    question.header.nlmsg_len = sizeof question;
    question.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    question.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    question.request.sdiag_family = AF_UNIX;
    question.request.udiag_states = 1u << kUnconnected | 1u << kListening;
    question.request.udiag_show = UDIAG_SHOW_NAME | (ask_uid ? UDIAG_SHOW_UID : 0);
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    Bound bound;
    bool done = sendto(diag, &question, sizeof question, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) !=
                static_cast<ssize_t>(sizeof question);
    while (!done) {
        // The kernel sizes a dump's parts to the reader's buffer, up to 32 KiB.
        alignas(nlmsghdr) char answer[32768];
        iovec part = {answer, sizeof answer};
        msghdr message = {};
        message.msg_name = &kernel;
        message.msg_namelen = sizeof kernel;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        int left = static_cast<int>(recvmsg(diag, &message, 0));
        // Only the kernel, port 0, answers, and whole.
        done = left <= 0 || (message.msg_flags & MSG_TRUNC) != 0 || kernel.nl_pid != 0;
        const auto *h = reinterpret_cast<const nlmsghdr *>(answer);
        for (; !done && NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            bound.answered = h->nlmsg_type == NLMSG_DONE;
            done = h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR;
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY)
                take_if_named(h, address.sun_path, size - offsetof(sockaddr_un, sun_path), bound);
        }
    }
    close(diag);
    return bound.answered ? bound : Bound();
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

// Whether a process of ours holds socket `inode`; another user's descriptors cannot be read, nor
// those of one of ours whose real uid is not its effective uid, unless we are root.
bool held_by_us(unsigned inode)
{
    DIR *processes = opendir("/proc");
    if (processes == nullptr)
        return false;
    char socket[32];
    std::snprintf(socket, sizeof socket, "socket:[%u]", inode);
    bool held = false;
    while (const dirent *process = held ? nullptr : readdir(processes)) {
        const int pid = std::atoi(process->d_name);
        held = pid > 0 && runs_as_us(pid) && holds(pid, socket);
    }
    closedir(processes);
    return held;
}

// Who holds the name, by the kernel's answer: the socket bound to it, and from Linux 6.2 the uid
// that created it; before, the inode and our processes' descriptors.
Holder looked_up(const sockaddr_un &address, socklen_t size, bool ask_uid)
{
    const Bound bound = bound_socket(address, size, ask_uid);
    if (!bound.answered || bound.sockets > 1)
        return Holder::Unseen;
    if (bound.sockets == 0)
        return Holder::Gone;
    if (bound.has_uid)
        return bound.uid == geteuid() ? Holder::Ours : Holder::Unseen;
    // An ending holder drops its descriptors a moment before its socket goes (exit_files runs
    // before the deferred fput): while that socket stays bound and unseen, look again, briefly.
    for (int look = 0; look < kLooks; ++look) {
        if (held_by_us(bound.inode))
            return Holder::Ours;
        usleep(kLookIntervalUs);
        const Bound again = bound_socket(address, size, ask_uid);
        if (!again.answered || again.sockets > 1)
            return Holder::Unseen;
        if (again.inode != bound.inode)
            return Holder::Gone;
    }
    return Holder::Unseen;
}

// Who holds the name: a listener with room answers with its credentials (SO_PEERCRED); a full
// queue (EAGAIN) or one not listening yet (ECONNREFUSED) says nothing, so the kernel is asked.
Holder holder_of(const sockaddr_un &address, socklen_t size, bool ask_uid)
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
        holder = looked_up(address, size, ask_uid);
    }
    close(probe);
    return holder;
}

}  // namespace

Outcome take_lock_named(const char *name, bool ask_uid)
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
            // it is the lock. Were listen to fail, later copies would find it ours by asking the kernel.
            listen(fd, SOMAXCONN);
            return Outcome::Taken;
        }
        const int error = errno;
        close(fd);
        if (error != EADDRINUSE)
            return Outcome::Taken;
        switch (holder_of(address, size, ask_uid)) {
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

// The effective uid, which SO_PEERCRED reports; a user namespace is no scope of its own, since
// the network namespace's names are shared (docs/lock.md).
Outcome SingleInstanceLock::take()
{
    char name[VESK_USER_LOCK_NAME_SIZE];
    vesk_user_lock_name(name, static_cast<unsigned>(geteuid()));
    return take_lock_named(name);
}
