// Linux has no named kernel object that vanishes with its last holder, so the lock is an
// advisory flock(2) on a per-user folder: the kernel drops it with the last descriptor of the
// open folder, however the process ends. The folder is never removed; removing it would let
// two copies lock two different inodes.
#include "single_instance_lock_linux.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using Outcome = SingleInstanceLock::Outcome;

Outcome take_lock_in_folder(const char *folder)
{
    // The umask can only take bits away from 0700; the repair below puts them back.
    mkdir(folder, 0700);

    // O_PATH needs no permission on the folder itself, so a folder that an odd umask left
    // unreadable can still be checked and repaired, through this descriptor and never
    // through a path that could meanwhile be swapped for a link.
    int path = open(folder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (path < 0)
        return Outcome::Taken;
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", path);
    struct stat st;
    if (fstat(path, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        ((st.st_mode & 07777) != 0700 && chmod(self, 0700) != 0)) {
        close(path);
        return Outcome::Taken;
    }
    // flock needs a real open; O_CLOEXEC keeps programs this process starts from holding it.
    int fd = open(self, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(path);
    if (fd < 0)
        return Outcome::Taken;

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

// Always under /tmp: /run/user/<uid> comes at a user's first login and goes, with anything in
// it, at the last logout, so copies on either side of a login or logout would miss each other.
// systemd-tmpfiles skips a folder that somebody holds a BSD lock on, so the held folder
// survives /tmp cleaners, and nothing inside it has to. No environment variable is read, so
// neither XDG_RUNTIME_DIR nor TMPDIR nor HOME can move the lock away from a running copy.
Outcome SingleInstanceLock::take()
{
    char folder[64];
    std::snprintf(folder, sizeof folder, "/tmp/VeskServer-%u", static_cast<unsigned>(getuid()));
    return take_lock_in_folder(folder);
}
