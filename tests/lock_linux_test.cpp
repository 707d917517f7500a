#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "single_instance_lock_linux.h"

namespace fs = std::filesystem;
using Outcome = SingleInstanceLock::Outcome;

class LockInFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/vesk-lock-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        folder_ = root_ + "/folder";
        ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
    }
    void TearDown() override { fs::remove_all(root_); }

    static int open_descriptors()
    {
        return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
    }

    static mode_t mode_of(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    std::string root_, folder_;
};

// The lock is a flock on the folder itself, which also keeps systemd-tmpfiles out: it skips
// a folder whose shared lock it cannot get.
TEST_F(LockInFolder, FirstCallTakesItAndASecondIsRefusedWithItsHandleClosed)
{
    int before = open_descriptors();
    EXPECT_EQ(take_lock_in_folder(folder_.c_str()), Outcome::Taken);
    EXPECT_EQ(open_descriptors(), before + 1);
    int cleaner = open(folder_.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_NE(flock(cleaner, LOCK_SH | LOCK_NB), 0) << "a /tmp cleaner could enter the folder";
    close(cleaner);

    EXPECT_EQ(take_lock_in_folder(folder_.c_str()), Outcome::AlreadyRunning);
    EXPECT_EQ(open_descriptors(), before + 1);
}

// Neither an odd umask when the folder is made nor a wrong mode left by an earlier run keeps
// the lock from working: the folder ends up as 0700 and a second call is refused.
TEST_F(LockInFolder, OddUmaskOrWrongModeOfOurOwnFolderIsRepaired)
{
    int n = 0;
    for (mode_t mask : {0222, 0400, 0700, 0777}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        const std::string folder = root_ + "/umask" + std::to_string(n++);
        mode_t old = umask(mask);
        Outcome outcome = take_lock_in_folder(folder.c_str());
        umask(old);
        EXPECT_EQ(outcome, Outcome::Taken);
        EXPECT_EQ(mode_of(folder), 0700u);
        EXPECT_EQ(take_lock_in_folder(folder.c_str()), Outcome::AlreadyRunning);
    }
    for (mode_t mode : {0000, 0500, 0755, 01777}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const std::string folder = root_ + "/mode" + std::to_string(n++);
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chmod(folder.c_str(), mode), 0);
        EXPECT_EQ(take_lock_in_folder(folder.c_str()), Outcome::Taken);
        EXPECT_EQ(mode_of(folder), 0700u);
        EXPECT_EQ(take_lock_in_folder(folder.c_str()), Outcome::AlreadyRunning);
    }
}

// The lock is held by a child until it ends, orderly or killed, and then is free again.
TEST_F(LockInFolder, GoesWithTheProcessThatHoldsIt)
{
    for (int signal : {0, SIGKILL}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t holder = fork();
        if (holder == 0) {
            char result = take_lock_in_folder(folder_.c_str()) == Outcome::Taken ? 't' : 'r';
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
            EXPECT_EQ(take_lock_in_folder(folder_.c_str()), Outcome::AlreadyRunning);
            kill(holder, signal);
        }
        waitpid(holder, nullptr, 0);
    }
    int before = open_descriptors();
    EXPECT_EQ(take_lock_in_folder(folder_.c_str()), Outcome::Taken);
    EXPECT_EQ(open_descriptors(), before + 1);
}

// Anything at the path that is not a folder of our own is not used: the outcome is Taken with
// no lock held, and nothing behind a link is repaired or locked.
TEST_F(LockInFolder, UntrustedPlacesHoldNoLock)
{
    const bool root = geteuid() == 0;
    const std::string path = root_ + "/path";
    ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);
    struct Case {
        const char *what;
        bool needs_root;
        std::function<void()> make;  // puts something at `path`
    } cases[] = {
        {"link to a folder of our own with a wrong mode", false, [&] { fs::create_symlink(folder_, path); }},
        {"file", false, [&] { close(open(path.c_str(), O_CREAT | O_WRONLY, 0600)); }},
        {"folder of another user", true, [&] {
             ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
             EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && !root)
            continue;
        fs::remove_all(path);
        c.make();
        int before = open_descriptors();
        EXPECT_EQ(take_lock_in_folder(path.c_str()), Outcome::Taken);
        EXPECT_EQ(open_descriptors(), before);
        EXPECT_EQ(mode_of(folder_), 0755u) << "a link was followed";
    }
    EXPECT_EQ(take_lock_in_folder((root_ + "/missing/folder").c_str()), Outcome::Taken);
    if (!root)
        GTEST_SKIP() << "the case of another user's folder needs root";
}
