#pragma once

#include <string>

// libzmq asserts, ending the process, when it cannot make a thread or a descriptor it needs,
// so what it will need is tried first. Why not, or an empty string.
std::string missing_resources();

// The platform's part: whether this process can still open `count` more descriptors.
bool can_spare_descriptors(int count);
