// What only the Linux build can show: its loader, its users and its lock file.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "single_instance_lock.h"
#include "support/run.h"

namespace fs = std::filesystem;

class LinuxServer : public ServerTest {
protected:
    // Options that preload the test library, which records into `record`.
    ChildOptions preloaded(const std::string &record)
    {
        ChildOptions options;
        options.env = {"LD_PRELOAD=" + target().preload, "VESK_TEST_RECORD=" + record};
        return options;
    }
};

// Whether the program's main thread is blocked reading standard input.
static bool reading_input(pid_t pid)
{
    std::ifstream syscall_now("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/syscall");
    std::string number, fd;
    syscall_now >> number >> fd;
    return number == std::to_string(SYS_read) && fd == "0x0";
}

// Interrupts the main thread's read of standard input with the preloaded library's signal,
// the `nth` it catches, and waits until the program reads again.
static void interrupt_read(Child &server, const std::string &record, size_t nth)
{
    ASSERT_TRUE(eventually([&] { return reading_input(server.pid()); }));
    // Sent to the main thread alone: the device thread would take a process-wide one.
    syscall(SYS_tgkill, server.pid(), server.pid(), SIGUSR1);
    ASSERT_TRUE(eventually([&] { return count_of(contents(record), "caught") == nth; }));
    ASSERT_TRUE(eventually([&] { return reading_input(server.pid()); })) << "the read was not taken up again";
}

// Signals are a Linux matter: nothing interrupts a read on Windows.
TEST_F(LinuxServer, SignalDuringEitherReadIsNotTheEndOfInput)
{
    const std::string record = dir_ + "/record";
    Trace t = trace("t");
    Child server = start(t, preloaded(record));
    ASSERT_TRUE(t.started());
    interrupt_read(server, record, 1);
    server.send("Q\n");
    ASSERT_TRUE(server.consumed_input());
    EXPECT_EQ(t.lines().size(), 4u) << "the device was closed before any q";

    server.send("q");
    ASSERT_TRUE(t.shows("CloseVeskDevice"));
    interrupt_read(server, record, 2);
    EXPECT_EQ(server.output(), output_of({"VeskServer Start!"}));
    server.send("\n");
    expect_orderly_end(server, t);
}

// A standard descriptor the parent left closed is not taken by what a library opens when
// it is loaded. Windows has no such numbers to take: a DLL's handle never becomes one.
TEST_F(LinuxServer, ClosedStandardDescriptorIsNotTakenByALibrary)
{
    for (int fd = 0; fd <= 2; ++fd) {
        SCOPED_TRACE("descriptor " + std::to_string(fd) + " closed");
        const std::string record = dir_ + "/record" + std::to_string(fd);
        ChildOptions options = preloaded(record);
        options.closed_fd = fd;
        Trace t = trace("t" + std::to_string(fd));
        Child server = start(t, options);
        if (fd != 0)  // with no input at all, the run ends by itself
            server.send("q\n");
        EXPECT_EQ(server.wait(), 0);
        EXPECT_EQ(t.lines(), kOrderlyTrace);
        if (fd != 1) {
            EXPECT_EQ(server.output(), output_of({"VeskServer Start!", "VeskServer Closed!"}));
        }

        int file = -1, read_end = -1, write_end = -1;
        const std::string recorded = contents(record);
        ASSERT_EQ(std::sscanf(recorded.c_str(), "opened %d %d %d", &file, &read_end, &write_end), 3);
        EXPECT_GT(std::min({file, read_end, write_end}), 2) << recorded;
        EXPECT_EQ(recorded.find("VeskServer"), std::string::npos) << recorded;
    }
}

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

static std::string lock_folder()
{
    return "/tmp/VeskServer-" + std::to_string(getuid());
}

// The lock stays in one place whatever the environment says, whether or not the user is
// logged in (logind makes /run/user/<uid> at the first login), and whatever the umask of the
// copy that made the folder.
TEST_F(LinuxServer, NeitherEnvironmentNorLoginNorUmaskMovesTheLock)
{
    fs::remove_all(lock_folder());
    const std::string runtime = "/run/user/" + std::to_string(getuid());
    Trace first = trace("first");
    ChildOptions odd_umask;
    odd_umask.umask = 0177;  // a folder made under it cannot be entered; trace files still work
    Child server = start(first, odd_umask);
    ASSERT_TRUE(first.started());
    const std::vector<std::string> environments[] = {
        {}, {"XDG_RUNTIME_DIR=" + dir_, "TMPDIR=" + dir_, "HOME=" + dir_}, {"XDG_RUNTIME_DIR=" + runtime}};
    for (bool logged_in : {false, true}) {
        if (logged_in) {
            if (!fs::is_directory("/run/user"))
                break;
            ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        }
        for (const std::vector<std::string> &env : environments) {
            Trace t = trace("copy" + std::to_string(logged_in) + "-" + std::to_string(&env - environments));
            ChildOptions options;
            options.clear_env = env.empty();
            options.env = env;
            Child copy = start(t, options);
            expect_refused(copy, t);
        }
    }
    quit(server, first);
    fs::remove_all(runtime);
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

// Whatever else stands at the lock's path is neither followed nor refused at: the copies
// run unguarded, side by side.
TEST_F(LinuxServer, ObjectPlantedAtTheLockPathLeavesCopiesUnguarded)
{
    const std::string path = lock_folder();
    const fs::path target_file = fs::path(dir_) / "target";
    struct Plant {
        const char *what;
        std::function<void()> make;
    } plants[] = {
        {"file", [&] { std::ofstream(path).put('x'); }},
        {"link to a missing folder", [&] { fs::create_symlink(target_file, path); }},
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
        fs::remove_all(path);
        plant.make();
        Trace a = trace(std::string("a-") + plant.what), b = trace(std::string("b-") + plant.what);
        Child first = start_holder(a);
        Child second = start_holder(b);
        quit(second, b);
        quit(first, a);
        EXPECT_FALSE(fs::exists(target_file)) << "a link was followed";
    }
    fs::remove_all(path);
}

// The process of session `session` that runs `name`, or 0.
static pid_t process_in_session(pid_t session, const std::string &name)
{
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, comm, state, parent, group, sid;
        if (stat >> pid >> comm >> state >> parent >> group >> sid && comm == "(" + name + ")" &&
            sid == std::to_string(session) && state != "Z")
            return std::stoi(pid);
    }
    return 0;
}

// At a terminal in line mode, q and Ctrl+D (the terminal's end of input) end the run in order.
// Ctrl+C, Ctrl+\ and closing the terminal of the shell whose foreground job the server is are
// left to the platform: the process ends without closing the device or writing its line.
TEST_F(LinuxServer, AtATerminalOnlyQOrEndOfInputClosesTheDevice)
{
    ChildOptions terminal;
    terminal.terminal = true;
    struct Case {
        const char *keys;
        int signal;
    } cases[] = {{"abQ q\r", 0}, {"\x04", 0}, {"\x03", SIGINT}, {"\x1c", SIGQUIT}};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.keys));
        Trace t = trace("t" + std::to_string(&c - cases));
        Child server = start(t, terminal);
        ASSERT_TRUE(t.started());
        server.send(c.keys);
        EXPECT_EQ(server.wait(), c.signal == 0 ? 0 : 128 + c.signal);
        EXPECT_EQ(server.output().find("VeskServer Closed!") != std::string::npos, c.signal == 0) << server.output();
        EXPECT_EQ(t.lines(), c.signal == 0 ? kOrderlyTrace : kInterruptedTrace);
    }

    // The read fails at once when the terminal goes; the SIGHUP comes later, from the shell.
    Trace t = trace("shell");
    Child shell = start(t, terminal, {"--norc", "--noprofile", "-i"}, "bash");
    shell.send(target().server + "\r");
    ASSERT_TRUE(t.started());
    pid_t server = 0;
    ASSERT_TRUE(eventually([&] { return (server = process_in_session(shell.pid(), "VeskServer")) != 0; }));
    shell.close_input();
    EXPECT_TRUE(eventually([&] { return process_in_session(shell.pid(), "VeskServer") != server; }));
    EXPECT_EQ(t.lines(), kInterruptedTrace);
    shell.wait();
}
