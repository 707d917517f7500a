#pragma once

#include "lock_name.h"

// The lock's name: the program name followed by a fixed GUID.
inline constexpr char kLockName[] = VESK_LOCK_NAME;

// Keeps a second copy of the server in the same user session away from the device.
// The existence of a named object marks the running copy; nobody ever waits on it.
class SingleInstanceLock {
public:
    enum class Outcome {
        AlreadyRunning,  // the object existed: another copy runs
        Taken,           // it did not, or it could not be made at all (then no lock is held)
    };

    // Creates the named object. On AlreadyRunning its handle is closed again; on Taken it stays
    // open, so the lock covers the whole shutdown and goes with the process however it ends.
    static Outcome take();
};
