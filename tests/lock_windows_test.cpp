#include <gtest/gtest.h>

#include <string>
#include <windows.h>

#include "single_instance_lock.h"
#include "support/child.h"

using Outcome = SingleInstanceLock::Outcome;

// A taken lock stays for the process's life, so a copy of this program takes it; the others run here.
TEST(WindowsLock, TakenLockStaysUntilTheProcessEnds)
{
    ASSERT_EQ(lock_name_in_use(), "");
    if (GetEnvironmentVariableA("VESK_LOCK_HOLDER", nullptr, 0) != 0) {
        EXPECT_EQ(SingleInstanceLock::take(), Outcome::Taken);
        EXPECT_NE(lock_name_in_use(), "");
        EXPECT_EQ(SingleInstanceLock::take(), Outcome::AlreadyRunning);
        return;
    }
    ChildOptions as_holder;
    as_holder.env = {"VESK_LOCK_HOLDER=1"};
    Child copy(
        {program_folder() + "/lock_windows_test.exe", "--gtest_filter=WindowsLock.TakenLockStaysUntilTheProcessEnds"},
        as_holder);
    EXPECT_EQ(GetEnvironmentVariableA("VESK_LOCK_HOLDER", nullptr, 0), 0u) << "the copy's entry stayed ours";
    EXPECT_EQ(copy.wait(), 0) << "the copy's own checks failed:\n" << copy.output();
    EXPECT_EQ(lock_name_in_use(), "") << "the lock outlived its process";
}

// A mutex under the name, owned or not, refuses the server; an event leaves it unguarded; no handle is kept.
TEST(WindowsLock, ObjectOfAnotherUnderTheNameKeepsNoHandle)
{
    ASSERT_EQ(lock_name_in_use(), "");
    const std::pair<std::string, Outcome> cases[] = {
        {"mutex", Outcome::AlreadyRunning}, {"owned mutex", Outcome::AlreadyRunning}, {"event", Outcome::Taken}};
    for (const auto &[held, outcome] : cases) {
        SCOPED_TRACE(held);
        HANDLE other = held == "event" ? CreateEventA(nullptr, TRUE, FALSE, kLockName)
                                       : CreateMutexA(nullptr, held == "owned mutex", kLockName);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(SingleInstanceLock::take(), outcome);
        CloseHandle(other);
        EXPECT_EQ(lock_name_in_use(), "") << "the call kept its handle";
    }
}
