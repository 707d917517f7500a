#pragma once

#include <string>

// The file an ipc:// endpoint binds, or an empty string for any other endpoint (an abstract
// ipc:// name included).
std::string socket_path(const std::string &endpoint);

// Why `endpoint` must not be bound, or an empty string. libzmq unlinks whatever is at an ipc://
// path, and takes a TCP port modulo 65536 ("+70080" is 4544): docs/standin.md.
std::string endpoint_refusal(const std::string &endpoint);
