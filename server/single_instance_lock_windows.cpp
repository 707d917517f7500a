#include "single_instance_lock.h"

#include <windows.h>

// An unprefixed name lives in the caller's session's namespace (Microsoft: Kernel Object
// Namespaces). A taken lock's handle is closed by Windows with the process.
SingleInstanceLock::Outcome SingleInstanceLock::take()
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kLockName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return Outcome::AlreadyRunning;
    }
    return Outcome::Taken;
}
