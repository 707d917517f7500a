#pragma once

#include "single_instance_lock.h"

// Takes the lock as a flock on `folder` itself, made with mode 0700 if missing and repaired to
// 0700 if it is the calling user's own with another mode. Anything else at the path (a link,
// a file, a folder of another user) is Taken with no lock held.
SingleInstanceLock::Outcome take_lock_in_folder(const char *folder);
