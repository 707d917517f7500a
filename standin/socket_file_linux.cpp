#include "socket_file.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "vesk/says.h"

const char *ipc_refusal()
{
    return nullptr;
}

// The uid an owner outside our user namespace shows as (user_namespaces(7)), where such folders
// are root's, such as /; -1 in the initial namespace.
static uid_t unseen_owner()
{
    std::ifstream map("/proc/self/uid_map"), overflow("/proc/sys/kernel/overflowuid");
    unsigned long inside = 0, outside = 0, count = 0, uid = 65534;
    if (!(map >> inside >> outside >> count) || (inside == 0 && outside == 0 && count == 4294967295UL))
        return static_cast<uid_t>(-1);
    overflow >> uid;
    return static_cast<uid_t>(uid);
}

// As OpenSSH checks its key paths: each folder on the way is no link, ours or root's, and
// writable by others only if sticky, so nobody else can rename what is in it.
std::string socket_folder_refusal(const std::string &path)
{
    std::string absolute = path;
    if (path.empty() || path[0] != '/') {
        char here[PATH_MAX];
        if (getcwd(here, sizeof here) == nullptr)
            return std::string("the working folder cannot be named: ") + std::strerror(errno);
        absolute = std::string(here) + "/" + path;
    }
    const uid_t us = geteuid(), unseen = unseen_owner();
    for (size_t end = 0; end != std::string::npos; end = absolute.find('/', end + 1)) {
        const std::string folder = end == 0 ? "/" : absolute.substr(0, end);
        struct stat status;
        if (lstat(folder.c_str(), &status) != 0)
            return "";  // bind says what is missing
        bool theirs = status.st_uid != 0 && status.st_uid != us && status.st_uid != unseen;
        bool open = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0;
        if (S_ISLNK(status.st_mode) || theirs || open)
            return VESK_SAYS_FOLDER_NOT_SAFE + folder;
    }
    return "";
}

bool socket_file_is_stale(const std::string &path)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    path.copy(address.sun_path, path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // A listener with a full backlog answers EAGAIN: alive.
    bool refused = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno == ECONNREFUSED;
    close(fd);
    return refused;
}

FileIdentity file_identity(const std::string &path)
{
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        return {};
    return {static_cast<unsigned long long>(status.st_dev), static_cast<unsigned long long>(status.st_ino)};
}

void remove_socket_file(const std::string &path, const FileIdentity &made)
{
    FileIdentity now = file_identity(path);
    if (made.inode != 0 && now.device == made.device && now.inode == made.inode)
        unlink(path.c_str());
}
