#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <windows.h>

#include "single_instance_lock.h"
#include "support/child.h"

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
    ChildOptions as_holder;
    as_holder.env = {"VESK_LOCK_HOLDER=1"};
    Child copy(
        {program_folder() + "/lock_windows_test.exe", "--gtest_filter=WindowsLock.TakenLockStaysUntilTheProcessEnds"},
        as_holder);
    const int status = copy.wait();
    EXPECT_EQ(status, 0) << "the copy's own checks failed";
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

// The cases take the lock's one name in this session, as the operator's copies do: they do not
// start beside a copy that holds it.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const std::string in_use = GTEST_FLAG_GET(list_tests) ? "" : lock_name_in_use();
    if (!in_use.empty()) {
        std::fprintf(stderr, "not starting the cases: %s\n", in_use.c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}
