#include <gtest/gtest.h>

#include <string>
#include <windows.h>

#include "single_instance_lock.h"

using Outcome = SingleInstanceLock::Outcome;

// True if a mutex of the lock's name exists; the probe's own handle is closed again.
static bool lock_exists()
{
    HANDLE probe = CreateMutexA(nullptr, FALSE, kLockName);
    bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    CloseHandle(probe);
    return existed;
}

// A taken lock stays for the life of the process by design, so it is taken in a copy of this
// program of its own, and the other cases can run in this process as well as one by one.
TEST(WindowsLock, TakenLockStaysUntilTheProcessEnds)
{
    char holder[8];
    if (GetEnvironmentVariableA("VESK_LOCK_HOLDER", holder, sizeof holder) != 0) {
        ASSERT_FALSE(lock_exists());
        EXPECT_EQ(SingleInstanceLock::take(), Outcome::Taken);
        EXPECT_TRUE(lock_exists());
        EXPECT_EQ(SingleInstanceLock::take(), Outcome::AlreadyRunning);
        return;
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" --gtest_filter=WindowsLock.TakenLockStaysUntilTheProcessEnds";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION copy;
    SetEnvironmentVariableA("VESK_LOCK_HOLDER", "1");
    BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &copy);
    SetEnvironmentVariableA("VESK_LOCK_HOLDER", nullptr);
    ASSERT_TRUE(started);
    WaitForSingleObject(copy.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(copy.hProcess, &status);
    CloseHandle(copy.hProcess);
    CloseHandle(copy.hThread);
    EXPECT_EQ(status, 0u) << "the copy's own checks failed";
    EXPECT_FALSE(lock_exists()) << "the lock outlived its process";
}

// Whoever holds the mutex, and whether or not it owns it, the server is refused, and the
// refused call keeps no handle: once the holder lets go, the name is free again.
TEST(WindowsLock, MutexHeldByAnotherRefusesAndKeepsNoHandle)
{
    for (BOOL owned : {FALSE, TRUE}) {
        HANDLE other = CreateMutexA(nullptr, owned, kLockName);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(SingleInstanceLock::take(), Outcome::AlreadyRunning);
        CloseHandle(other);
        EXPECT_FALSE(lock_exists()) << "the refused call kept its handle";
    }
}

// An object of another kind under the name makes the creation fail: the run goes on
// unguarded, with no lock held.
TEST(WindowsLock, EventUnderTheNameLeavesTheRunUnguarded)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, kLockName);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(SingleInstanceLock::take(), Outcome::Taken);
    CloseHandle(event);
    EXPECT_FALSE(lock_exists());
}
