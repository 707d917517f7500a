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

// A taken lock stays for the process's life, so a copy of this program takes it; the others run here.
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

// A mutex under the name, owned or not, refuses the server; an event leaves it unguarded; no handle is kept.
TEST(WindowsLock, ObjectOfAnotherUnderTheNameKeepsNoHandle)
{
    const struct {
        const char *held;
        Outcome outcome;
    } cases[] = {{"mutex", Outcome::AlreadyRunning}, {"owned mutex", Outcome::AlreadyRunning}, {"event", Outcome::Taken}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.held);
        const std::string held = c.held;
        HANDLE other = held == "event" ? CreateEventA(nullptr, TRUE, FALSE, kLockName)
                                       : CreateMutexA(nullptr, held == "owned mutex", kLockName);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(SingleInstanceLock::take(), c.outcome);
        CloseHandle(other);
        EXPECT_FALSE(lock_exists()) << "the call kept its handle";
    }
}

// The cases take the lock's one name in this session, so they do not start beside a copy holding it.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const std::string in_use = GTEST_FLAG_GET(list_tests) ? "" : lock_name_in_use();
    if (in_use.empty())
        return RUN_ALL_TESTS();
    std::fprintf(stderr, "not starting the cases: %s\n", in_use.c_str());
    return 1;
}
