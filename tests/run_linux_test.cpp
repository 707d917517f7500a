// What only the Linux build can show: its loader, its users and its lock file.
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "single_instance_lock.h"
#include "support/run.h"

namespace fs = std::filesystem;

class LinuxServer : public ServerTest {};

TEST_F(LinuxServer, LibraryLackingANameStopsTheStart)
{
    Trace t = trace("t");
    Child server = start(t, {}, {}, copy_server("lacking", target().lacking + "/" + target().library));
    int status = server.wait();
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    EXPECT_EQ(server.output(), "");
    EXPECT_EQ(t.lines(), std::vector<std::string>{}) << "the server's entry ran";
}

TEST_F(LinuxServer, EnvironmentDoesNotMoveTheLock)
{
    Trace first = trace("first");
    Child server = start_holder(first);
    for (const std::vector<std::string> &env :
         {std::vector<std::string>{}, {"XDG_RUNTIME_DIR=" + dir_, "TMPDIR=" + dir_, "HOME=" + dir_}}) {
        Trace t = trace("copy" + std::to_string(env.size()));
        ChildOptions options;
        options.clear_env = env.empty();
        options.env = env;
        Child copy = start(t, options);
        expect_refused(copy, t);
    }
    quit(server, first);
}

// Copies of different users never see each other's lock.
TEST_F(LinuxServer, AnotherUsersCopyRunsBesideOurs)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "starting a copy as another user needs root";
    fs::path library = fs::path(target().server).parent_path() / target().library;
    std::string server_copy = copy_server("bin", library.string());
    fs::permissions(fs::path(server_copy).parent_path(), fs::perms::owner_all | fs::perms::group_read |
                                                             fs::perms::group_exec | fs::perms::others_read |
                                                             fs::perms::others_exec);

    Trace first = trace("first");
    Child server = start_holder(first);
    Trace other = trace("other");
    ChildOptions as_nobody;
    as_nobody.uid = 65534;
    Child theirs = start(other, as_nobody, {}, server_copy);
    quit(theirs, other);
    quit(server, first);
}

static std::string lock_path()
{
    std::string folder = "/run/user/" + std::to_string(getuid());
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0)
        folder = "/tmp/VeskServer-" + std::to_string(getuid());
    return folder + "/" + kLockName;
}

// Whatever else stands at the lock's path is neither followed nor refused at: the copies
// run unguarded, side by side.
TEST_F(LinuxServer, ObjectPlantedAtTheLockPathLeavesCopiesUnguarded)
{
    const std::string path = lock_path();
    Trace before = trace("before");
    Child probe = start(before);
    quit(probe, before);  // the folder exists from here on

    const fs::path target_file = fs::path(dir_) / "target";
    struct Plant {
        const char *what;
        std::function<void()> make;
    } plants[] = {
        {"directory", [&] { fs::create_directory(path); }},
        {"link to a missing file", [&] { fs::create_symlink(target_file, path); }},
        {"fifo", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"socket", [&] {
             int s = socket(AF_UNIX, SOCK_STREAM, 0);
             struct sockaddr_un addr = {};
             addr.sun_family = AF_UNIX;
             path.copy(addr.sun_path, sizeof addr.sun_path - 1);
             ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
             close(s);
         }},
    };
    for (const Plant &plant : plants) {
        SCOPED_TRACE(plant.what);
        fs::remove(path);
        plant.make();
        Trace a = trace(std::string("a-") + plant.what), b = trace(std::string("b-") + plant.what);
        Child first = start_holder(a);
        Child second = start_holder(b);
        quit(second, b);
        quit(first, a);
        EXPECT_FALSE(fs::exists(target_file)) << "a link was followed";
    }
    fs::remove(path);
}
