#include "standard_streams.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// A closed standard descriptor would go to the first file a library opens at load; glibc runs
// the executable's .preinit_array before any library's initialiser, so /dev/null gets it first.
void open_missing_standard_descriptors(int, char **, char **)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR);  // takes the lowest free number, which is fd
}

__attribute__((section(".preinit_array"), used)) void (*const open_missing)(int, char **, char **) =
    open_missing_standard_descriptors;

// A hung-up terminal fails the read at once, before the shell passes SIGHUP on: only a process
// that outlives the grace (it ignores SIGHUP) closes the device.
int eof_after_sleeping_grace()
{
    struct timespec left = {kConsoleGraceMs / 1000, (kConsoleGraceMs % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return EOF;
}

// A terminal that has hung up fails even to say that it is one.
bool terminal_hung_up()
{
    return isatty(STDIN_FILENO) == 0 && errno == EIO;
}

// EIO in the background when SIGTTIN is ignored (`trap '' TTIN; VeskServer &`), as in the
// foreground of a terminal that hangs up, where tcgetpgrp fails instead.
bool reading_in_background()
{
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground > 0 && foreground != getpgrp();
}

// A parent in another group of the same session, a shell with job control, is what can bring a
// group to the foreground; a group with no member that has one is orphaned, and stays so.
bool parent_can_bring_back(pid_t parent, pid_t group, pid_t session)
{
    return getpgid(parent) != group && getsid(parent) == session;
}

// Whether /proc shows this process's pid namespace. An empty file system over /proc would show
// nobody, and another namespace's the wrong processes: either would make any group look orphaned.
bool proc_is_ours()
{
    char self[16];
    const ssize_t n = readlink("/proc/self", self, sizeof self - 1);
    if (n <= 0)
        return false;
    self[n] = '\0';
    return std::atoi(self) == getpid();
}

// A process's state, parent and start time (in clock ticks since boot) from /proc/<pid>/stat;
// false when they cannot be read, with errno saying why.
bool read_stat(pid_t pid, char *state, int *parent, unsigned long long *start)
{
    char path[64], line[512];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *stat = std::fopen(path, "re");
    if (stat == nullptr)
        return false;
    const char *got = std::fgets(line, sizeof line, stat);
    std::fclose(stat);
    // "pid (name) state parent ...": the name may hold anything, so parse after its last ')'.
    const char *end = got != nullptr ? std::strrchr(line, ')') : nullptr;
    errno = EINVAL;
    return end != nullptr && std::sscanf(end + 1,
                                         " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d "
                                         "%*d %llu",
                                         state, parent, start) == 3;
}

enum class Group { Orphaned, Kept, Unknown };

// Who keeps a group from being orphaned: a member whose parent can bring it back (0 when that
// is this process), the member's start time, and that parent. The end of either orphans it.
struct Keepers {
    pid_t member = 0;
    unsigned long long member_start = 0;
    pid_t parent = 0;
};

// Whether this process's group is orphaned, and if kept, by whom. Unknown where /proc, or a
// member's entry in it, cannot be read: out of descriptors, for one.
Group look_at_group(Keepers *keepers)
{
    const pid_t group = getpgrp(), session = getsid(0);
    *keepers = {0, 0, getppid()};
    if (parent_can_bring_back(keepers->parent, group, session))
        return Group::Kept;
    DIR *processes = proc_is_ours() ? opendir("/proc") : nullptr;
    if (processes == nullptr)
        return Group::Unknown;
    Group found = Group::Orphaned;
    while (const dirent *entry = found == Group::Kept ? nullptr : readdir(processes)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0 || pid == getpid() || getpgid(pid) != group)
            continue;
        char state = 'Z';
        int parent = 0;
        unsigned long long start = 0;
        if (!read_stat(pid, &state, &parent, &start) && errno != ENOENT && errno != ESRCH)
            found = Group::Unknown;  // a member that cannot be looked at may keep it
        else if (state != 'Z' && parent_can_bring_back(parent, group, session)) {
            found = Group::Kept;
            *keepers = {pid, start, parent};
        }
    }
    closedir(processes);
    return found;
}

// Whether a keeper the look found has ended, or its pid names another process now (a pidfd
// opened since would be that process's). In doubt, as when out of descriptors, not.
bool keepers_changed(const Keepers &keepers)
{
    if (keepers.member == 0)
        return getppid() != keepers.parent;
    char state = 'Z';
    int parent = 0;
    unsigned long long start = 0;
    if (!read_stat(keepers.member, &state, &parent, &start))
        return errno == ENOENT || errno == ESRCH;
    // A member whose parent ends gets a reaper for parent at once, never a new process.
    return state == 'Z' || start != keepers.member_start || parent != keepers.parent;
}

// The terminal's input or hang-up, edge-triggered (nobody is told of fg, but the operator then
// types); made at start, before a library can use up the descriptors. -1: none.
int terminal_watch = -1;

void watch_terminal()
{
    if (!isatty(STDIN_FILENO))
        return;
    terminal_watch = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLET;
    if (terminal_watch >= 0 && epoll_ctl(terminal_watch, EPOLL_CTL_ADD, STDIN_FILENO, &event) != 0) {
        close(terminal_watch);
        terminal_watch = -1;
    }
}

// Waits on the watch without spending processor time; false if it cannot.
bool await(int watch)
{
    struct epoll_event event;
    while (epoll_wait(watch, &event, 1, -1) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

// Waits idle until a background job may read again, or a process keeping its group from being
// orphaned ends (pidfd, Linux 5.3); false once the group is orphaned or no wait can be had.
bool wait_in_background()
{
    const int watch = terminal_watch;
    Keepers keepers;
    if (watch < 0 || look_at_group(&keepers) == Group::Orphaned)
        return false;
    int ends[2] = {-1, -1};
    const pid_t pids[2] = {keepers.member, keepers.parent};
    for (int i = 0; i < 2; ++i) {
        if (pids[i] <= 0)
            continue;
        ends[i] = static_cast<int>(syscall(SYS_pidfd_open, pids[i], 0));
        struct epoll_event event = {};
        event.events = EPOLLIN;
        if (ends[i] >= 0 && epoll_ctl(watch, EPOLL_CTL_ADD, ends[i], &event) != 0) {
            close(ends[i]);
            ends[i] = -1;
        }
    }
    // Checked once the pidfds are open: a keeper gone since the look is looked for again.
    const bool gone = keepers_changed(keepers);
    const bool woken = gone || await(watch);
    for (int end : ends)
        if (end >= 0)
            close(end);
    return woken;
}

}  // namespace

// SIGPIPE's default action would kill the server with the device still open.
void prepare_standard_streams()
{
    std::signal(SIGPIPE, SIG_IGN);
    watch_terminal();
}

int read_input_byte()
{
    for (;;) {
        int c = std::getchar();
        if (c != EOF)
            return c;
        if (!std::ferror(stdin))
            return terminal_hung_up() ? eof_after_sleeping_grace() : EOF;
        int error = errno;
        std::clearerr(stdin);
        if (error == EIO) {
            // A background job may be brought back to the foreground; an orphaned one never can.
            if (reading_in_background() && wait_in_background())
                continue;
            return eof_after_sleeping_grace();
        }
        // A handler the device library installed without SA_RESTART interrupts the read.
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK)
            return EOF;
        // O_NONBLOCK belongs to the open file, which other processes share, so it is left
        // set: wait until there is something to read instead.
        struct pollfd input = {STDIN_FILENO, POLLIN, 0};
        while (poll(&input, 1, -1) < 0)
            if (errno != EINTR)
                return EOF;
    }
}
