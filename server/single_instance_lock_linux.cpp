// Linux has no named kernel object that vanishes with its last holder, so the lock is an
// advisory flock(2) on a file: the kernel drops it with the last descriptor of the open
// file, however the process ends. The file itself is never removed; removing it would let
// two copies lock two different inodes.
#include "single_instance_lock_linux.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using Outcome = SingleInstanceLock::Outcome;

namespace {

// Only a folder that no one else can change keeps another user from planting or
// removing the lock file.
bool is_private_folder(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

}  // namespace

Outcome take_lock_in_folder(const char *folder)
{
    int dir = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return Outcome::Taken;
    struct stat st;
    if (fstat(dir, &st) != 0 || !is_private_folder(st)) {
        close(dir);
        return Outcome::Taken;
    }

    // flock needs no write access. O_NONBLOCK keeps a FIFO planted at the path from
    // hanging the open; O_CLOEXEC keeps programs this process starts from holding the lock.
    int fd = openat(dir, kLockName, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    0600);
    close(dir);
    if (fd < 0)
        return Outcome::Taken;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
        close(fd);
        return Outcome::Taken;
    }

    int rc;
    do
        rc = flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return Outcome::Taken;  // fd stays open: it is the lock
    int err = errno;
    close(fd);
    return err == EWOULDBLOCK ? Outcome::AlreadyRunning : Outcome::Taken;
}

// The folder is per user and read from no environment variable, so neither
// XDG_RUNTIME_DIR nor TMPDIR nor HOME can move the lock away from a running copy.
Outcome SingleInstanceLock::take()
{
    char folder[64];
    unsigned uid = getuid();
    std::snprintf(folder, sizeof folder, "/run/user/%u", uid);
    struct stat st;
    if (lstat(folder, &st) != 0 || !is_private_folder(st)) {
        std::snprintf(folder, sizeof folder, "/tmp/VeskServer-%u", uid);
        mkdir(folder, 0700);  // one that exists already is checked when it is opened
    }
    return take_lock_in_folder(folder);
}
