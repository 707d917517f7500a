#pragma once

#include "single_instance_lock.h"

// Takes the lock as the abstract Unix socket address `name` (without its leading NUL): bound
// and listening, it is Taken and held until the process ends; bound by a process of our
// effective uid, listening or not, AlreadyRunning; bound by a socket not seen to be ours, or
// anything that goes wrong, Taken with no lock held.
SingleInstanceLock::Outcome take_lock_named(const char *name);
