// What only the Linux build can show: its loader, its users, its lock, its terminal and its reads.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "lock_name.h"
#include "support/abstract_name.h"
#include "support/run.h"

namespace fs = std::filesystem;

class LinuxServer : public ServerTest {
protected:
    // Options that preload the test library, which records into `record`.
    ChildOptions preloaded(const std::string &record)
    {
        ChildOptions options;
        // ld.so splits LD_PRELOAD at blanks, which a checkout's path may hold; it looks a bare
        // name up in LD_LIBRARY_PATH, which splits at colons only.
        const fs::path preload = target().preload;
        options.env = {"LD_PRELOAD=" + preload.filename().string(),
                       "LD_LIBRARY_PATH=" + preload.parent_path().string(), "VESK_TEST_RECORD=" + record};
        return options;
    }
};

// The system call that the program's main thread is blocked in, and its first argument.
static std::pair<std::string, std::string> blocked_in(pid_t pid)
{
    std::ifstream syscall_now("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/syscall");
    std::string number, first;
    syscall_now >> number >> first;
    return {number, first};
}

static bool reading_input(pid_t pid)
{
    return blocked_in(pid) == std::make_pair(std::to_string(SYS_read), std::string("0x0"));
}

// Interrupts the main thread's read with the preloaded library's `nth` signal; waits until it reads again.
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
    walk_to_the_end(server, t, false, [&](int read) { interrupt_read(server, record, read); });
}

// A standard descriptor the parent left closed is not taken by what a library opens when it is
// loaded. (Windows has no such numbers: a DLL's handle never becomes one.)
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
        EXPECT_EQ(server.output(), fd == 1 ? "" : output_of({VESK_START_LINE, VESK_CLOSED_LINE}));

        int file = -1, read_end = -1, write_end = -1;
        const std::string recorded = contents(record);
        ASSERT_EQ(std::sscanf(recorded.c_str(), "opened %d %d %d", &file, &read_end, &write_end), 3);
        EXPECT_GT(std::min({file, read_end, write_end}), 2) << recorded;
        EXPECT_EQ(recorded.find("VeskServer"), std::string::npos) << recorded;
    }
}

// Beside a library that lacks a name, or started in a folder that holds the library: only its own
// folder counts (Windows searches the current folder as well, by design).
TEST_F(LinuxServer, LibraryLackingANameOrInTheCurrentFolderStopsTheStart)
{
    const std::string lacking = target().lacking + "/" + target().library;
    for (bool in_current_folder : {false, true}) {
        Trace t = trace("t" + std::to_string(in_current_folder));
        ChildOptions options;
        if (in_current_folder)
            options.cwd = target().helpers;
        Child server = start(t, options, {}, copy_server(in_current_folder ? "alone" : "lacking",
                                                         in_current_folder ? "" : lacking));
        expect_not_started(server, t);
    }
}

// The lock's name of `uid`, as the server takes it.
static std::string lock_name(uid_t uid)
{
    char name[VESK_USER_LOCK_NAME_SIZE];
    vesk_user_lock_name(name, uid);
    return name;
}

// The name is the lock, whoever holds it: a socket of the user's own under it refuses a copy.
TEST_F(LinuxServer, HoldersOfTheNameOutsideTheServer)
{
    int ours = hold_abstract_name(lock_name(geteuid()), SOMAXCONN);
    ASSERT_GE(ours, 0);
    Trace refused = trace("refused");
    Child copy = start(refused);
    expect_refused(copy, refused);
    close(ours);
}

class LinuxServerAsRoot : public LinuxServer {
protected:
    void SetUp() override
    {
        LinuxServer::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "a holder and a copy of another user need root";
    }
};

// Another user's socket under the name, even one whose queue is full or that never listens, leaves
// copies running unguarded side by side; another user's copies take that user's name, keeping ours
// running and refusing their own second.
TEST_F(LinuxServerAsRoot, HoldersOfTheNameOutsideTheServer)
{
    const uid_t nobody = 65534;
    for (int backlog : {SOMAXCONN, 0, -1}) {
        SCOPED_TRACE("the squatter's backlog " + std::to_string(backlog));
        const pid_t squatter = squat_as(nobody, lock_name(0), backlog);
        ASSERT_GT(squatter, 0);
        // With room for none, one waiting connection fills its queue.
        const int queued = backlog == 0 ? connect_to_name(lock_name(0)) : -1;
        ASSERT_EQ(queued >= 0, backlog == 0);
        Trace a = trace("a" + std::to_string(backlog)), b = trace("b" + std::to_string(backlog));
        Child first = start_holder(a);
        Child second = start_holder(b);
        quit(second, b);
        quit(first, a);
        if (queued >= 0)
            close(queued);
        kill(squatter, SIGKILL);
        waitpid(squatter, nullptr, 0);
    }

    Trace a = trace("a");
    Child first = start_holder(a);
    const std::string server_copy = copy_server("bin", target().helpers + "/" + target().library);
    fs::permissions(fs::path(server_copy).parent_path(), fs::perms(0755));
    Trace other = trace("other"), refused = trace("refused");
    ChildOptions as_nobody;
    as_nobody.uid = nobody;
    Child theirs = start(other, as_nobody, {}, server_copy);
    ASSERT_TRUE(other.wait_for_start());
    Child their_second = start(refused, as_nobody, {}, server_copy);
    expect_refused(their_second, refused);
    quit(theirs, other);
    quit(first, a);
}

// Runs `program` to its end with a /tmp of its own into which only `keep` is carried. Its input
// is empty, its output goes to `output`, its environment is `env` alone. Returns its status, or -1.
static int run_with_a_tmp_of_its_own(std::string program, const std::string &keep, std::string env,
                                     const std::string &output)
{
    char *argv[] = {program.data(), nullptr}, *envp[] = {env.data(), nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY), out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || !make_empty_tmp(keep).empty())
            _exit(125);
        execve(argv[0], argv, envp);
        _exit(126);
    }
    int status = -1;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Nothing in /tmp is the lock: a second copy is refused after /tmp was emptied (but for this case's
// folder and the build tree) while the first ran, and with a /tmp of its own, as a sandbox gives it.
TEST_F(LinuxServer, NeitherAnEmptiedTmpNorATmpOfItsOwnLetsASecondCopyRun)
{
    const std::string server_copy = copy_server("bin", target().helpers + "/" + target().library);
    Trace first = trace("first");
    Child server = start_holder(first);

    const std::string server_path = fs::canonical(target().server).string();
    for (const fs::directory_entry &entry : fs::directory_iterator("/tmp"))
        if (entry.path() != dir_ && server_path.rfind(entry.path().string() + "/", 0) != 0)
            fs::remove_all(entry.path());
    Trace emptied = trace("emptied");
    Child copy = start(emptied);
    expect_refused(copy, emptied);

    Trace own = trace("own");
    EXPECT_EQ(run_with_a_tmp_of_its_own(server_copy, dir_, own.env(), dir_ + "/own-output"), 0);
    EXPECT_EQ(contents(dir_ + "/own-output"), output_of({VESK_START_LINE}));
    EXPECT_EQ(own.lines(), std::vector<std::string>{VESK_TRACE_LOAD});
    quit(server, first);
}

// Whether the process's group is the foreground of its terminal.
static bool in_foreground(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string state, parent, group, session, tty, foreground;
    return fields >> state >> parent >> group >> session >> tty >> foreground && group == foreground;
}

// `path` as one word for a shell, whatever blanks it holds.
static std::string quoted(const std::string &path)
{
    return "'" + path + "'";
}

// The process of session `session` that runs `name`, and unless 0 is a child of `parent`, or 0.
static pid_t process_in_session(pid_t session, const std::string &name, pid_t parent_pid = 0)
{
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, comm, state, parent, group, sid;
        if (stat >> pid >> comm >> state >> parent >> group >> sid && comm == "(" + name + ")" &&
            sid == std::to_string(session) && state != "Z" && (parent_pid == 0 || parent == std::to_string(parent_pid)))
            return std::stoi(pid);
    }
    return 0;
}

// At a terminal q and Ctrl+D end the run in order (Ctrl+D alone even where end of input does not
// stick, as at a Windows console); Ctrl+C and Ctrl+\ are left to the platform.
TEST_F(LinuxServer, AtATerminalOnlyQOrEndOfInputClosesTheDevice)
{
    struct Case {
        const char *keys;
        int signal;
    } cases[] = {{"abQ q\r", 0}, {"\x04", 0}, {"\x03", SIGINT}, {"\x1c", SIGQUIT}};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.keys));
        Trace t = trace("t" + std::to_string(&c - cases));
        ChildOptions not_sticky = preloaded(dir_ + "/record" + std::to_string(&c - cases));
        not_sticky.terminal = true;
        Child server = start(t, not_sticky);
        ASSERT_TRUE(eventually([&] { return reading_input(server.pid()); }));
        server.send(c.keys);
        EXPECT_EQ(server.wait(), c.signal == 0 ? 0 : 128 + c.signal);
        EXPECT_EQ(server.output().find(VESK_CLOSED_LINE) != std::string::npos, c.signal == 0) << server.output();
        EXPECT_EQ(t.lines(), c.signal == 0 ? kOrderlyTrace : kStartedTrace);
    }
}

// An interactive shell at a terminal, as an operator's, whose jobs are servers.
class TerminalShell : public LinuxServer {
protected:
    void SetUp() override
    {
        LinuxServer::SetUp();
        ChildOptions terminal;
        terminal.terminal = true;
        shell_.emplace(start(trace("shell"), terminal, {"--norc", "--noprofile", "-i"}, "bash"));
    }
    // Waits until the shell's job has started the device; returns its pid.
    pid_t job_started(const Trace &job)
    {
        pid_t server = 0;
        EXPECT_TRUE(job.wait_for_start());
        EXPECT_TRUE(eventually([&] { return (server = process_in_session(shell_->pid(), "VeskServer")) != 0; }));
        return server;
    }
    // Waits until the job waits in the background, its device still open.
    void expect_waiting_in_background(pid_t server, const Trace &job)
    {
        ASSERT_TRUE(eventually([&] {
            const std::string call = blocked_in(server).first;
            return call == std::to_string(SYS_epoll_wait) || call == std::to_string(SYS_epoll_pwait);
        }));
        EXPECT_EQ(job.lines(), kStartedTrace) << "the device was closed in the background";
    }
    // Brings the job back with fg and ends it with q.
    void bring_back_and_quit(pid_t server, const Trace &job)
    {
        shell_->send("fg\r");
        ASSERT_TRUE(eventually([&] { return in_foreground(server); }));
        shell_->send("q\r");
        EXPECT_TRUE(eventually([&] { return kill(server, 0) != 0; }));
        EXPECT_EQ(job.lines(), kOrderlyTrace);
    }
    std::optional<Child> shell_;
};

// A background job that ignores SIGTTIN has its reads fail with EIO: it waits for the terminal
// until fg, also where /proc is hidden and nobody can tell whether its group is orphaned.
TEST_F(TerminalShell, AtATerminalABackgroundJobWaitsUntilFg)
{
    Trace background = trace("background"), hidden = trace("hidden");
    const std::string unshare = geteuid() == 0 ? "unshare -m" : "unshare -rm";
    const std::pair<const Trace &, std::string> jobs[] = {
        {background, background.env() + " " + quoted(target().server)},
        // Without /proc the loader cannot tell $ORIGIN: the library is named to it.
        {hidden, "(" + hidden.env() + " LD_LIBRARY_PATH=" + quoted(fs::path(target().server).parent_path()) + " " +
                     unshare + " sh -c 'mount -t tmpfs tmpfs /proc && exec \"$0\"' " + quoted(target().server) +
                     "; true)"},
    };
    for (const auto &[job, command] : jobs) {
        SCOPED_TRACE(command);
        shell_->send("trap '' TTIN; " + command + " &\r");
        const pid_t server = job_started(job);
        ASSERT_NO_FATAL_FAILURE(expect_waiting_in_background(server, job));
        ASSERT_NO_FATAL_FAILURE(bring_back_and_quit(server, job));
    }
}

// A library used up the descriptors before Ctrl+Z and bg: the wait was made at the start.
TEST_F(TerminalShell, AtATerminalAJobOutOfDescriptorsWaitsUntilFg)
{
    Trace job = trace("starved");
    const std::string record = dir_ + "/record";
    std::string preloaded_env;
    for (const std::string &variable : preloaded(record).env)
        preloaded_env += " " + variable.substr(0, variable.find('=') + 1) + quoted(variable.substr(variable.find('=') + 1));
    shell_->send("trap '' TTIN; (ulimit -n 64; " + job.env() + preloaded_env + " " + quoted(target().server) +
                 "; true)\r");
    const pid_t server = job_started(job);
    kill(server, SIGUSR2);
    ASSERT_TRUE(eventually([&] { return count_of(contents(record), "taken") == 1; }));
    shell_->send("\x1a");  // the shell reads again once it has the terminal back
    ASSERT_TRUE(eventually([&] { return !in_foreground(server); }));
    shell_->send("bg\r");
    ASSERT_NO_FATAL_FAILURE(expect_waiting_in_background(server, job));
    kill(server, SIGUSR2);  // the trace's last line needs a descriptor
    ASSERT_TRUE(eventually([&] { return count_of(contents(record), "given back") == 1; }));
    ASSERT_NO_FATAL_FAILURE(bring_back_and_quit(server, job));
}

// An orphaned job, never to come back, closes in order: when its shell ends, and when it starts so.
// A foreground job whose terminal goes is left to the SIGHUP that comes later, from the shell.
TEST_F(TerminalShell, AtATerminalAJobThatCannotComeBackClosesInOrder)
{
    Trace inner = trace("inner"), orphaned = trace("orphaned"), t = trace("foreground");
    shell_->send("bash --norc --noprofile -i\r");
    ASSERT_TRUE(eventually([&] {
        const pid_t inner_shell = process_in_session(shell_->pid(), "bash", shell_->pid());
        return inner_shell != 0 && in_foreground(inner_shell);
    }));
    shell_->send("trap '' TTIN; (" + inner.env() + " " + quoted(target().server) + "; true) &\r");
    ASSERT_NO_FATAL_FAILURE(expect_waiting_in_background(job_started(inner), inner));
    shell_->send("exit\r");
    EXPECT_TRUE(eventually([&] { return inner.lines() == kOrderlyTrace; }));
    ASSERT_TRUE(eventually([&] { return process_in_session(shell_->pid(), "VeskServer") == 0; }));

    shell_->send("(set -m; " + orphaned.env() + " " + quoted(target().server) + " </dev/tty &)\r");
    EXPECT_TRUE(eventually([&] { return orphaned.lines() == kOrderlyTrace; }));
    ASSERT_TRUE(eventually([&] { return process_in_session(shell_->pid(), "VeskServer") == 0; }));

    shell_->send(t.env() + " " + quoted(target().server) + "\r");
    const pid_t server = job_started(t);
    shell_->close_input();
    EXPECT_TRUE(eventually([&] { return process_in_session(shell_->pid(), "VeskServer") != server; }));
    EXPECT_EQ(t.lines(), kStartedTrace);
    shell_->wait();
}

// An input left non-blocking by an earlier program that shares the open file is waited on, in both
// reads, without spending processor time; a real end still ends the run. (Not on Windows.)
TEST_F(LinuxServer, NonBlockingInputIsWaitedOn)
{
    ChildOptions nonblocking;
    nonblocking.nonblocking_input = true;
    Trace t = trace("t");
    Child server = start(t, nonblocking);
    walk_to_the_end(server, t, false, [&](int read) {
        if (read != 1)
            return;
        // A second of waiting costs a few clock ticks; a wait that spins costs most of that second.
        const long before = main_thread_cpu_ms(server.pid());
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LE(main_thread_cpu_ms(server.pid()) - before, 30) << "the wait spent processor time";
    });

    Trace ending = trace("ending");
    Child ended = start(ending, nonblocking);
    ASSERT_TRUE(ending.wait_for_start());
    ended.close_input();
    expect_orderly_end(ended, ending);
}
