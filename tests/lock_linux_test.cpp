#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "single_instance_lock_linux.h"
#include "support/abstract_name.h"

namespace fs = std::filesystem;
using Outcome = SingleInstanceLock::Outcome;

// Each case takes a name of its own, never the one a real copy of the user's takes.
class LockNamed : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = "vesk-lock-test-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    static int open_descriptors()
    {
        return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
    }

    std::string name_;
};

// The one descriptor kept is the lock: a listening socket under exactly the name, which programs
// the process starts do not inherit.
TEST_F(LockNamed, FirstCallTakesItAndASecondIsRefusedWithItsHandleClosed)
{
    int before = open_descriptors();
    EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::Taken);
    ASSERT_EQ(open_descriptors(), before + 1);
    int lock = -1;
    for (const fs::directory_entry &fd : fs::directory_iterator("/proc/self/fd"))
        if (fs::read_symlink(fd.path()).string().rfind("socket:", 0) == 0)
            lock = std::max(lock, std::stoi(fd.path().filename().string()));
    EXPECT_EQ(fcntl(lock, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    int probe = connect_to_name(name_);
    EXPECT_GE(probe, 0) << "nothing listens under the name";
    close(probe);

    EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::AlreadyRunning);
    EXPECT_EQ(open_descriptors(), before + 1);
}

// The lock is held by a child until it ends, orderly or killed, and then is free again.
TEST_F(LockNamed, GoesWithTheProcessThatHoldsIt)
{
    for (int signal : {0, SIGKILL}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t holder = fork();
        if (holder == 0) {
            char result = take_lock_named(name_.c_str()) == Outcome::Taken ? 't' : 'r';
            (void)!write(ready[1], &result, 1);
            if (signal != 0)
                pause();
            _exit(0);
        }
        close(ready[1]);
        char result = 0;
        ASSERT_EQ(read(ready[0], &result, 1), 1);
        close(ready[0]);
        EXPECT_EQ(result, 't');
        if (signal != 0) {
            EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::AlreadyRunning);
            kill(holder, signal);
        }
        waitpid(holder, nullptr, 0);
    }
    int before = open_descriptors();
    EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::Taken);
    EXPECT_EQ(open_descriptors(), before + 1);
}

// Whatever else holds the name: a socket of our uid refuses, listening or not, even with its
// queue full; one of another uid, whatever it does with its queue, leaves the run unguarded,
// holding nothing.
TEST_F(LockNamed, OutsideHolders)
{
    const struct Case {
        const char *what;
        bool other_uid;
        int backlog;  // 0: one waiting connection fills the queue; -1: never listening
        Outcome outcome;
    } cases[] = {
        {"ours, queue full", false, 0, Outcome::AlreadyRunning},
        {"ours, bound, never listening", false, -1, Outcome::AlreadyRunning},
        {"another uid's, queue full", true, 0, Outcome::Taken},
        {"another uid's, bound, never listening", true, -1, Outcome::Taken},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.other_uid && geteuid() != 0)
            GTEST_SKIP() << "a holder of another uid needs root";
        const pid_t squatter = c.other_uid ? squat_as(65534, name_, c.backlog) : 0;
        const int holder = c.other_uid ? -1 : hold_abstract_name(name_, c.backlog);
        ASSERT_TRUE(squatter > 0 || holder >= 0);
        const int queued = c.backlog == 0 ? connect_to_name(name_) : -1;
        ASSERT_EQ(queued >= 0, c.backlog == 0);
        const int before = open_descriptors();
        EXPECT_EQ(take_lock_named(name_.c_str()), c.outcome);
        EXPECT_EQ(open_descriptors(), before);
        for (int fd : {queued, holder})
            if (fd >= 0)
                close(fd);
        if (squatter > 0) {
            kill(squatter, SIGKILL);
            waitpid(squatter, nullptr, 0);
        }
    }
}
