#include "single_instance_lock.h"

#include <windows.h>

// An unprefixed name lives in the caller's session namespace, so copies in other user
// sessions do not see this one. The handle of a taken lock is never closed: Windows closes
// it with the process, and the mutex goes with its last handle.
SingleInstanceLock::Outcome SingleInstanceLock::take()
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kLockName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return Outcome::AlreadyRunning;
    }
    return Outcome::Taken;
}
