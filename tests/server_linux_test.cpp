// What only the Linux build can show: its loader, its users, its lock, its terminal and its reads.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "lock_name.h"
#include "support/abstract_name.h"
#include "support/run.h"

namespace fs = std::filesystem;

class LinuxServer : public ServerTest {};

// Options that preload the test library, which records into `record`.
static ChildOptions preloaded(const std::string &record)
{
    ChildOptions options;
    // ld.so splits LD_PRELOAD at blanks but LD_LIBRARY_PATH at colons only (ld.so(8)).
    const fs::path preload = target().preload;
    options.env = {"LD_PRELOAD=" + preload.filename().string(), "LD_LIBRARY_PATH=" + preload.parent_path().string(),
                   "VESK_TEST_RECORD=" + record};
    return options;
}

// Whether the main thread of `pid` is blocked in system call `call`, with first argument `first` unless "".
static bool blocked_in(pid_t pid, long call, const std::string &first = "")
{
    std::ifstream now("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/syscall");
    std::string number, argument;
    return now >> number >> argument && number == std::to_string(call) && (first.empty() || argument == first);
}

// Signals are a Linux matter: nothing interrupts a read on Windows.
TEST_F(LinuxServer, SignalDuringEitherReadIsNotTheEndOfInput)
{
    const std::string record = dir_ + "/record";
    Trace t = trace("t");
    Child server = start(t, preloaded(record));
    const auto reading = [&] { return blocked_in(server.pid(), SYS_read, "0x0"); };
    walk_to_the_end(server, t, false, [&](int read) {
        ASSERT_TRUE(eventually(reading));
        // Sent to the main thread alone: the device thread would take a process-wide one.
        syscall(SYS_tgkill, server.pid(), server.pid(), SIGUSR1);
        ASSERT_TRUE(eventually([&] { return count_of(contents(record), "caught") == static_cast<size_t>(read); }));
        ASSERT_TRUE(eventually(reading)) << "the read was not taken up again";
    });
}

// A standard descriptor left closed is not taken by what a library opens at load (none on Windows).
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

// A library lacking a name, or only in the current folder, stops the start: only its own folder counts.
TEST_F(LinuxServer, LibraryLackingANameOrInTheCurrentFolderStopsTheStart)
{
    for (bool in_current_folder : {false, true}) {
        Trace t = trace("t" + std::to_string(in_current_folder));
        ChildOptions options;
        options.cwd = in_current_folder ? target().helpers : "";
        const std::string library = in_current_folder ? "" : target().lacking + "/" + target().library;
        Child server = start(t, options, {}, copy_server(in_current_folder ? "alone" : "lacking", library));
        expect_not_started(server, t);
    }
}

class LinuxServerAsRoot : public LinuxServer {};

// Another user's copies take that user's name, keeping ours running and refusing their own second.
TEST_F(LinuxServerAsRoot, AnotherUsersCopiesTakeANameOfTheirOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a copy of another user needs root";
    Trace a = trace("a");
    Child first = start_holder(a);
    const std::string server_copy = copy_server("bin", target().helpers + "/" + target().library);
    fs::permissions(fs::path(server_copy).parent_path(), fs::perms(0755));
    Trace other = trace("other"), refused = trace("refused");
    ChildOptions as_nobody;
    as_nobody.uid = 65534;
    Child theirs = start(other, as_nobody, {}, server_copy);
    ASSERT_TRUE(other.wait_for_start());
    Child their_second = start(refused, as_nobody, {}, server_copy);
    expect_refused(their_second, refused);
    quit(theirs, other);
    quit(first, a);
}

// `path` as one word for a shell, whatever blanks it holds.
static std::string quoted(const std::string &path)
{
    return "'" + path + "'";
}

// The name alone is the lock: refused beside a socket of ours, or a first copy, /tmp emptied or its own.
TEST_F(LinuxServer, TheNameAloneRefusesASecondCopyWhateverItsTmp)
{
    char name[VESK_USER_LOCK_NAME_SIZE];
    vesk_user_lock_name(name, geteuid());
    const int ours = hold_abstract_name(name, SOMAXCONN);
    ASSERT_GE(ours, 0);
    Trace refused = trace("refused");
    Child beside_ours = start(refused);
    expect_refused(beside_ours, refused);
    close(ours);

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
    const std::string alone =
        "env -i " + own.env() + " " + quoted(server_copy) + " </dev/null >" + quoted(dir_ + "/own-output");
    const pid_t sandboxed = fork();  // with a /tmp of its own, into which only dir_ is carried
    if (sandboxed == 0)
        _exit(make_empty_tmp(dir_).empty() ? WEXITSTATUS(std::system(alone.c_str())) : 125);
    int status = -1;
    ASSERT_TRUE(eventually([&] { return waitpid(sandboxed, &status, WNOHANG) == sandboxed; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(contents(dir_ + "/own-output"), output_of({VESK_START_LINE}));
    EXPECT_EQ(own.lines(), std::vector<std::string>{VESK_TRACE_LOAD});
    quit(server, first);
}

// At a terminal q and Ctrl+D (even where an end does not stick) end in order; Ctrl+C and Ctrl+\ kill.
TEST_F(LinuxServer, AtATerminalOnlyQOrEndOfInputClosesTheDevice)
{
    const struct { const char *keys; int signal; } cases[] = {
        {"abQ q\r", 0}, {"\x04", 0}, {"\x03", SIGINT}, {"\x1c", SIGQUIT}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.keys));
        Trace t = trace("t" + std::to_string(&c - cases));
        ChildOptions not_sticky = preloaded(dir_ + "/record" + std::to_string(&c - cases));
        not_sticky.terminal = true;
        Child server = start(t, not_sticky);
        ASSERT_TRUE(eventually([&] { return blocked_in(server.pid(), SYS_read, "0x0"); }));
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
        terminal.env = {"PS1=" + std::string(kPrompt)};
        shell_.emplace(start(trace("shell"), terminal, {"--norc", "--noprofile", "-i"}, "bash"));
    }
    // The shell line that runs the server as `job`, with `before` and `after` around that command.
    std::string job_line(const Trace &job, const std::string &before = "", const std::string &after = "")
    {
        return before + job.env() + " " + quoted(target().server) + after + "\r";
    }
    // The live process of the shell's session that runs `name` (no name of ours holds a blank), if
    // `foreground` in its terminal's foreground group, unless 0 a child of `parent`; or 0.
    pid_t in_session(const std::string &name, bool foreground = false, pid_t parent_pid = 0)
    {
        for (const fs::directory_entry &entry : fs::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string pid, comm, state, parent, group, sid, tty, tty_group;
            if (stat >> pid >> comm >> state >> parent >> group >> sid >> tty >> tty_group &&
                comm == "(" + name + ")" && sid == std::to_string(shell_->pid()) && state != "Z" &&
                (parent_pid == 0 || parent == std::to_string(parent_pid)) && (!foreground || group == tty_group))
                return std::stoi(pid);
        }
        return 0;
    }
    // Types `line` and waits until its job has started the device; returns the server's pid.
    pid_t job_started(const Trace &job, const std::string &line)
    {
        pid_t server = 0;
        type(line);
        EXPECT_TRUE(job.wait_for_start());
        EXPECT_TRUE(eventually([&] { return (server = in_session("VeskServer")) != 0; }));
        return server;
    }
    // Waits until the job waits in the background, its device still open.
    void expect_waiting_in_background(pid_t server, const Trace &job)
    {
        const auto waiting = [&] { return blocked_in(server, SYS_epoll_wait) || blocked_in(server, SYS_epoll_pwait); };
        ASSERT_TRUE(eventually(waiting)) << shell_->output();
        EXPECT_EQ(job.lines(), kStartedTrace) << "the device was closed in the background";
    }
    // Types `keys` at the shell's next prompt: keys typed before it came were lost (a run in 40, loaded).
    void type(const std::string &keys)
    {
        EXPECT_TRUE(eventually([&] { return count_of(shell_->output(), kPrompt) > prompts_used_; })) << shell_->output();
        prompts_used_ = count_of(shell_->output(), kPrompt);
        shell_->send(keys);
    }
    // Brings the job back with fg and ends it with q.
    void bring_back_and_quit(pid_t server, const Trace &job)
    {
        type("fg\r");
        ASSERT_TRUE(eventually([&] { return in_session("VeskServer", true) == server; }));
        shell_->send("q\r");
        EXPECT_TRUE(eventually([&] { return kill(server, 0) != 0; }));
        EXPECT_EQ(job.lines(), kOrderlyTrace);
    }
    static constexpr char kPrompt[] = "shell> ";
    std::optional<Child> shell_;
    size_t prompts_used_ = 0;
};

// A background job ignoring SIGTTIN, its reads failing with EIO, waits until fg, even with /proc hidden.
TEST_F(TerminalShell, AtATerminalABackgroundJobWaitsUntilFg)
{
    Trace background = trace("background"), hidden = trace("hidden");
    const std::string unshare = geteuid() == 0 ? "unshare -m" : "unshare -rm";
    const std::string folder = quoted(fs::path(target().server).parent_path());
    const std::pair<const Trace &, std::string> jobs[] = {
        {background, job_line(background, "trap '' TTIN; ", " &")},
        // Without /proc the loader cannot tell $ORIGIN: the library is named to it.
        {hidden, "trap '' TTIN; (" + hidden.env() + " LD_LIBRARY_PATH=" + folder + " " + unshare +
                     " sh -c 'mount -t tmpfs tmpfs /proc && exec \"$0\"' " + quoted(target().server) + "; true) &\r"},
    };
    for (const auto &[job, line] : jobs) {
        SCOPED_TRACE(line);
        const pid_t server = job_started(job, line);
        ASSERT_NO_FATAL_FAILURE(expect_waiting_in_background(server, job));
        ASSERT_NO_FATAL_FAILURE(bring_back_and_quit(server, job));
    }
}

// A library used up the descriptors before Ctrl+Z and bg: the wait was made at the start.
TEST_F(TerminalShell, AtATerminalAJobOutOfDescriptorsWaitsUntilFg)
{
    Trace job = trace("starved");
    const std::string record = dir_ + "/record";
    std::string preloaded_env = "env ";
    for (const std::string &variable : preloaded(record).env)
        preloaded_env += quoted(variable) + " ";
    const pid_t server = job_started(job, job_line(job, "trap '' TTIN; (ulimit -n 64; " + preloaded_env, "; true)"));
    kill(server, SIGUSR2);
    ASSERT_TRUE(eventually([&] { return count_of(contents(record), "taken") == 1; }));
    shell_->send("\x1a");
    ASSERT_TRUE(eventually([&] { return in_session("VeskServer", true) == 0; }));
    // What bg does: keys typed at this prompt were lost in a run in 50 under load, the shell in read.
    kill(-getpgid(server), SIGCONT);
    ASSERT_NO_FATAL_FAILURE(expect_waiting_in_background(server, job));
    kill(server, SIGUSR2);  // the trace's last line needs a descriptor
    ASSERT_TRUE(eventually([&] { return count_of(contents(record), "given back") == 1; }));
    ASSERT_NO_FATAL_FAILURE(bring_back_and_quit(server, job));
}

// An orphaned job closes in order, orphaned later or at its start; a foreground one is left to SIGHUP.
TEST_F(TerminalShell, AtATerminalAJobThatCannotComeBackClosesInOrder)
{
    Trace inner = trace("inner"), orphaned = trace("orphaned"), t = trace("foreground");
    type("bash --norc --noprofile -i\r");
    ASSERT_TRUE(eventually([&] { return in_session("bash", true, shell_->pid()) != 0; }));
    const pid_t inner_server = job_started(inner, job_line(inner, "trap '' TTIN; (", "; true) &"));
    ASSERT_NO_FATAL_FAILURE(expect_waiting_in_background(inner_server, inner));
    type("exit\r");
    EXPECT_TRUE(eventually([&] { return inner.lines() == kOrderlyTrace; }));
    ASSERT_TRUE(eventually([&] { return in_session("VeskServer") == 0; }));

    type(job_line(orphaned, "(set -m; ", " </dev/tty &)"));
    EXPECT_TRUE(eventually([&] { return orphaned.lines() == kOrderlyTrace; }));
    ASSERT_TRUE(eventually([&] { return in_session("VeskServer") == 0; }));

    const pid_t server = job_started(t, job_line(t));
    shell_->close_input();
    EXPECT_TRUE(eventually([&] { return in_session("VeskServer") != server; }));
    EXPECT_EQ(t.lines(), kStartedTrace);
    shell_->wait();
}

// An input left non-blocking by another program is waited on in both reads without spinning, to its end.
TEST_F(LinuxServer, NonBlockingInputIsWaitedOn)
{
    ChildOptions nonblocking;
    nonblocking.nonblocking_input = true;
    Trace t = trace("t");
    Child server = start(t, nonblocking);
    walk_to_the_end(server, t, true, [&](int read) {
        if (read != 1)
            return;
        // A second of waiting costs a few clock ticks; a wait that spins costs most of that second.
        const long before = main_thread_cpu_ms(server.pid());
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LE(main_thread_cpu_ms(server.pid()) - before, 30) << "the wait spent processor time";
    });
}
