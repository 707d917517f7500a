#include "socket_file.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

const char *ipc_refusal()
{
    return nullptr;
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
