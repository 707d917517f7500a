#pragma once

#include <string>

// The file an ipc:// endpoint binds, or an empty string for any other endpoint (an abstract
// ipc:// name included).
std::string socket_path(const std::string &endpoint);

// Why `endpoint` must not be bound, or an empty string. libzmq removes whatever stands at an
// ipc:// path before it binds there, another program's live socket included, so only a socket
// file nobody listens on (a run that ended without a close left it) may be there. libzmq takes
// a TCP port modulo 65536 after reading as much of it as looks like a number ("+70080" is 4544).
std::string endpoint_refusal(const std::string &endpoint);
