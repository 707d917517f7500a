#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "single_instance_lock_linux.h"
#include "support/abstract_name.h"

namespace fs = std::filesystem;
using Outcome = SingleInstanceLock::Outcome;

namespace {

// OursSetuid: ours with another real uid, as a set-user-ID program: not dumpable, its /proc is root's.
enum class Holder { Ours, Theirs, OursSetuid };

// Sockets /proc/net/unix prints like the name: a path with a forged line, the path "@<name>", near misses.
enum class Decoy { None, ForgedLine, RelativePath, NearMisses };

constexpr Outcome kRefused = Outcome::AlreadyRunning, kUnguarded = Outcome::Taken;

const struct OutsideHolder {
    const char *what;
    Holder holder;
    int backlog;  // 0: one waiting connection fills the queue; -1: never listening; else room to answer
    Decoy decoy;
    Outcome outcome;
    Outcome before_6_2;  // where the kernel does not say who made a socket
} kOutsideHolders[] = {
    {"ours, queue full", Holder::Ours, 0, Decoy::None, kRefused, kRefused},
    {"ours, never listening", Holder::Ours, -1, Decoy::None, kRefused, kRefused},
    {"another uid's, answering", Holder::Theirs, SOMAXCONN, Decoy::None, kUnguarded, kUnguarded},
    {"another uid's, queue full", Holder::Theirs, 0, Decoy::None, kUnguarded, kUnguarded},
    {"another uid's, never listening", Holder::Theirs, -1, Decoy::None, kUnguarded, kUnguarded},
    {"another uid's, never listening, forged ours", Holder::Theirs, -1, Decoy::ForgedLine, kUnguarded, kUnguarded},
    {"another uid's, queue full, forged ours", Holder::Theirs, 0, Decoy::ForgedLine, kUnguarded, kUnguarded},
    {"ours, queue full, a forged line", Holder::Ours, 0, Decoy::ForgedLine, kRefused, kRefused},
    {"ours, queue full, a file at @name", Holder::Ours, 0, Decoy::RelativePath, kRefused, kRefused},
    {"ours, queue full, near misses of the name", Holder::Ours, 0, Decoy::NearMisses, kRefused, kRefused},
    // Before 6.2 its descriptors are the only sign that it is ours, and we cannot read them.
    {"ours by a real uid of another, queue full", Holder::OursSetuid, 0, Decoy::None, kRefused, kUnguarded},
};

// Whether row `c` is set up by a squatter whose real uid is another's, which needs root.
bool squatted(const OutsideHolder &c) { return c.holder != Holder::Ours || c.decoy != Decoy::None; }

// Whether the kernel says which uid made a socket (UNIX_DIAG_UID, Linux 6.2 on).
bool kernel_says_uid()
{
    utsname system;
    unsigned major = 0, minor = 0;
    return uname(&system) == 0 && std::sscanf(system.release, "%u.%u", &major, &minor) == 2 &&
           (major > 6 || (major == 6 && minor >= 2));
}

// Plants `decoy` for `name` in this process; a forged line names socket `inode`.
bool plant(Decoy decoy, const std::string &name, ino_t inode)
{
    sockaddr_un address;
    if (decoy == Decoy::None)
        return true;
    if (decoy == Decoy::NearMisses) {
        const socklen_t size = vesk_abstract_address(&address, name.c_str());
        const auto *at = reinterpret_cast<const sockaddr *>(&address);
        const int seqpacket = socket(AF_UNIX, SOCK_SEQPACKET, 0), datagram = socket(AF_UNIX, SOCK_DGRAM, 0);
        const int longer = socket(AF_UNIX, SOCK_STREAM, 0);
        return bind(seqpacket, at, size) == 0 && listen(seqpacket, SOMAXCONN) == 0 && bind(datagram, at, size) == 0 &&
               bind(longer, at, size + 1) == 0 && listen(longer, SOMAXCONN) == 0;
    }
    // Relative to /tmp. "Num RefCount Protocol Flags Type St Inode Path" is a line of the table.
    const std::string path =
        decoy == Decoy::RelativePath ? "@" + name : "x\n0: 2 0 10000 1 1 " + std::to_string(inode) + " @" + name;
    vesk_abstract_address(&address, "");
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    // A socket keeps its name in the kernel's tables when its file is removed.
    return chdir("/tmp") == 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
           listen(fd, SOMAXCONN) == 0 && unlink(path.c_str()) == 0;
}

}  // namespace

// Each case takes a name of its own, never the one a real copy of the user's takes.
class LockNamed : public ::testing::Test {
protected:
    static int open_descriptors()
    {
        return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
    }

    // The highest-numbered socket this process holds, or -1.
    static int newest_socket()
    {
        int newest = -1;
        for (const fs::directory_entry &fd : fs::directory_iterator("/proc/self/fd"))
            if (fs::read_symlink(fd.path()).string().rfind("socket:", 0) == 0)
                newest = std::max(newest, std::stoi(fd.path().filename().string()));
        return newest;
    }

    // Sets `c` up, another uid (65534) holding and planting, and takes the lock as `us`, asking the uid and not.
    void expect_outcome(const OutsideHolder &c, uid_t us)
    {
        SCOPED_TRACE(c.what);
        const uid_t self = geteuid(), nobody = 65534;
        // A forged line names ours beside another's holder, to refuse us; beside ours, nobody's.
        const int mine = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct stat socket_status = {};
        ASSERT_EQ(fstat(mine, &socket_status), 0);
        const ino_t forged = c.holder == Holder::Ours ? 1 : socket_status.st_ino;
        const pid_t squatter = !squatted(c) ? 0 : squat_as(c.holder == Holder::OursSetuid ? us : nobody, [&] {
            const bool held = c.holder == Holder::Ours || hold_abstract_name(name_, c.backlog) >= 0;
            return held && plant(c.decoy, name_, forged);
        }, nobody);
        ASSERT_EQ(seteuid(us), 0);
        const int ours = c.holder == Holder::Ours ? hold_abstract_name(name_, c.backlog) : -1;
        const int queued = c.backlog == 0 ? connect_to_name(name_) : -1;
        const int before = open_descriptors();
        const Outcome asked = take_lock_named(name_.c_str()), unasked = take_lock_named(name_.c_str(), false);
        const int after = open_descriptors();
        ASSERT_EQ(seteuid(self), 0);
        ASSERT_TRUE(ours >= 0 || squatter > 0);
        ASSERT_EQ(queued >= 0, c.backlog == 0);
        EXPECT_EQ(asked, kernel_says_uid() ? c.outcome : c.before_6_2);
        EXPECT_EQ(unasked, c.before_6_2) << "without the uid";
        EXPECT_EQ(after, before);
        for (int fd : {queued, ours, mine})
            close(fd);  // EBADF where there is none
        if (squatter > 0 && kill(squatter, SIGKILL) == 0)
            waitpid(squatter, nullptr, 0);
    }

    // The rows that need other uids, taken as uid 1000 (who cannot read others' descriptors), or the rest.
    void expect_outcomes(bool of_other_uids)
    {
        for (const OutsideHolder &c : kOutsideHolders)
            if (squatted(c) == of_other_uids) {
                ASSERT_NO_FATAL_FAILURE(expect_outcome(c, of_other_uids ? 1000 : geteuid()));
            }
    }

    const std::string name_ = "vesk-lock-test-" + std::to_string(getpid()) + "-" +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

class LockNamedAsRoot : public LockNamed {};

// The one descriptor kept is the lock: a socket listening under exactly the name, not inherited.
TEST_F(LockNamed, FirstCallTakesItAndASecondIsRefusedWithItsHandleClosed)
{
    int before = open_descriptors();
    EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::Taken);
    ASSERT_EQ(open_descriptors(), before + 1);
    EXPECT_EQ(fcntl(newest_socket(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    int probe = connect_to_name(name_);
    EXPECT_GE(probe, 0) << "nothing listens under the name";
    close(probe);

    EXPECT_EQ(take_lock_named(name_.c_str()), Outcome::AlreadyRunning);
    EXPECT_EQ(open_descriptors(), before + 1);
}

// A holder that cannot answer is looked up in the kernel: ours refuses, another uid's leaves it unguarded.
TEST_F(LockNamed, OutsideHolders)
{
    expect_outcomes(false);
}

TEST_F(LockNamedAsRoot, OutsideHolders)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "holders and decoys of other uids need root";
    expect_outcomes(true);
}

// A holder of ours ending while a copy looks it up leaves the copy refused or holding the name, never two.
TEST_F(LockNamed, HolderEndingDuringTheLookupNeverLeavesTwoOpen)
{
    const uid_t self = geteuid();
    for (int round = 0; round < 150; ++round)
        for (bool ask_uid : {true, false}) {
            // Its queue full, it cannot answer.
            const pid_t holder =
                squat_as(self, [&] { return hold_abstract_name(name_, 0) >= 0 && connect_to_name(name_) >= 0; }, self);
            ASSERT_GT(holder, 0);
            kill(holder, SIGKILL);
            if (take_lock_named(name_.c_str(), ask_uid) == Outcome::Taken) {
                EXPECT_EQ(take_lock_named(name_.c_str(), ask_uid), Outcome::AlreadyRunning)
                    << "two open in round " << round << (ask_uid ? "" : ", without the uid");
                close(newest_socket());
            }
            waitpid(holder, nullptr, 0);
        }
}
