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

    // A connection to the name without waiting, or -1.
    int connect_to() const
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address;
        socklen_t size = vesk_abstract_address(&address, name_.c_str());
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), size) != 0) {
            close(fd);
            return -1;
        }
        return fd;
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
    int probe = connect_to();
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

// Whatever else holds the name: a listener of our uid refuses, even one whose queue is full;
// one that never listens, or one of another uid, leaves the run unguarded, holding nothing.
TEST_F(LockNamed, OutsideHolders)
{
    {
        SCOPED_TRACE("listening, queue full");
        int holder = hold_abstract_name(name_, 0);
        ASSERT_GE(holder, 0);
        int queued = connect_to();
        ASSERT_GE(queued, 0);
        int before = open_descriptors();
        EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::AlreadyRunning);
        EXPECT_EQ(open_descriptors(), before);
        close(queued);
        close(holder);
    }
    {
        SCOPED_TRACE("bound, never listening");
        int holder = hold_abstract_name(name_, -1);
        ASSERT_GE(holder, 0);
        int before = open_descriptors();
        EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::Taken);
        EXPECT_EQ(open_descriptors(), before);
        close(holder);
    }
    if (geteuid() != 0)
        GTEST_SKIP() << "a holder of another uid needs root";
    const pid_t squatter = squat_as(65534, name_);
    ASSERT_GT(squatter, 0);
    int before = open_descriptors();
    EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::Taken);
    EXPECT_EQ(open_descriptors(), before);
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);
}
