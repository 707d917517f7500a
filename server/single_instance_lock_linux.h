#pragma once

#include "single_instance_lock.h"

// Takes the lock as the abstract Unix socket address `name` (without its leading NUL): bound
// and listening, it is Taken and held until the process ends; bound by a stream socket of our
// effective uid (made by it; before Linux 6.2, held by a process of it), listening or not,
// AlreadyRunning; bound by a socket not seen to be ours, or
// anything that goes wrong, Taken with no lock held. `ask_uid` false asks the kernel as one
// before Linux 6.2 answers, without the uid that created a socket: for the tests.
SingleInstanceLock::Outcome take_lock_named(const char *name, bool ask_uid = true);
