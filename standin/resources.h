#pragma once

// Whether this process can still open `count` more descriptors: libzmq asserts, ending the
// process, when it cannot make one it needs.
bool can_spare_descriptors(int count);
