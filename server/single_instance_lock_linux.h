#pragma once

#include "single_instance_lock.h"

// Takes the lock as the file kLockName in `folder`, which must be a directory that only
// the calling user owns and can enter; anything else there, or a folder that fails that
// check, is Taken with no lock held.
SingleInstanceLock::Outcome take_lock_in_folder(const char *folder);
