#pragma once

#include <string>

// The socket file behind an ipc:// endpoint. Windows refuses ipc:// in every build (an MSVC
// build's libzmq offers it), so there nothing is ever stale, and nothing is made to remove.

// Why an ipc:// endpoint is refused on this platform, or null.
const char *ipc_refusal();

// Why another user could replace a folder on the way to the socket at `path`, so that what is
// checked there and what libzmq then removes and binds differ; empty when none could.
std::string socket_folder_refusal(const std::string &path);

// Whether the socket at `path` is one nobody listens on any more: a connect is refused.
bool socket_file_is_stale(const std::string &path);

// Which file stands at a path: device and inode, both 0 when nothing does.
struct FileIdentity {
    unsigned long long device = 0, inode = 0;
};

FileIdentity file_identity(const std::string &path);

// Removes the file at `path` if it is still `made`, the socket file this process bound.
void remove_socket_file(const std::string &path, const FileIdentity &made);
