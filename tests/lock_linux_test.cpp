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
        file_ = folder_ + "/" + kLockName;
    }
    void TearDown() override { fs::remove_all(root_); }

    static int open_descriptors()
    {
        return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
    }

    std::string root_, folder_, file_;
};

TEST_F(LockInFolder, FirstCallTakesItAndASecondIsRefusedWithItsHandleClosed)
{
    int before = open_descriptors();
    EXPECT_EQ(take_lock_in_folder(folder_.c_str()), Outcome::Taken);
    EXPECT_EQ(open_descriptors(), before + 1);
    struct stat st;
    ASSERT_EQ(lstat(file_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_EQ(take_lock_in_folder(folder_.c_str()), Outcome::AlreadyRunning);
    EXPECT_EQ(open_descriptors(), before + 1);
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

// A folder or file that someone else could have planted or could change is not used:
// the outcome is Taken with no lock held, and nothing is created or followed.
TEST_F(LockInFolder, UntrustedPlacesHoldNoLock)
{
    const bool root = geteuid() == 0;
    const std::string elsewhere = root_ + "/elsewhere";
    struct Case {
        const char *what;
        bool needs_root;
        std::function<std::string()> make;  // returns the folder to lock in
    } cases[] = {
        {"missing folder", false, [&] { return root_ + "/missing"; }},
        {"folder others can write", false, [&] {
             chmod(folder_.c_str(), 0777);
             return folder_;
         }},
        {"folder its group can read", false, [&] {
             chmod(folder_.c_str(), 0740);
             return folder_;
         }},
        {"link to a private folder", false, [&] {
             fs::create_symlink(folder_, root_ + "/link");
             return root_ + "/link";
         }},
        {"link to a file elsewhere", false, [&] {
             fs::create_directory(elsewhere);
             fs::create_symlink(elsewhere + "/file", file_);
             return folder_;
         }},
        {"folder of another user", true, [&] {
             EXPECT_EQ(chown(folder_.c_str(), 65534, 65534), 0);
             return folder_;
         }},
        {"file of another user", true, [&] {
             close(open(file_.c_str(), O_CREAT | O_WRONLY, 0600));
             EXPECT_EQ(chown(file_.c_str(), 65534, 65534), 0);
             return folder_;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && !root)
            continue;
        fs::remove_all(folder_);
        fs::remove_all(root_ + "/link");
        fs::remove_all(elsewhere);
        ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
        std::string folder = c.make();
        bool file_existed = fs::exists(fs::symlink_status(file_));

        int before = open_descriptors();
        EXPECT_EQ(take_lock_in_folder(folder.c_str()), Outcome::Taken);
        EXPECT_EQ(open_descriptors(), before);
        EXPECT_EQ(fs::exists(fs::symlink_status(file_)), file_existed) << "a file was made";
        EXPECT_FALSE(fs::exists(elsewhere + "/file")) << "a link was followed";
    }
    if (!root)
        GTEST_SKIP() << "the cases of another user's folder and file need root";
}
