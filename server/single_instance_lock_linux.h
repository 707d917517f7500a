#pragma once

#include "single_instance_lock.h"

// Takes the abstract socket name `name`: AlreadyRunning only when a stream socket of our uid holds
// it, else Taken (docs/lock.md). `ask_uid` false asks as before Linux 6.2, for the tests.
SingleInstanceLock::Outcome take_lock_named(const char *name, bool ask_uid = true);
