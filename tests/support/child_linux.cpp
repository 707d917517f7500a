#include "child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

// One side's descriptors of the program's standard streams; -1 where the options ask for none.
struct Ends { int in = -1, out = -1, err = -1; };

struct Child::Impl : Ends {
    pid_t pid = -1;
    int status = -1;
    std::string output;

    // Takes in what waits on standard output; whether there was any.
    bool drain_output()
    {
        char buffer[4096];
        const size_t before = output.size();
        for (ssize_t n; out >= 0 && (n = read(out, buffer, sizeof buffer)) > 0;)
            output.append(buffer, static_cast<size_t>(n));
        return output.size() > before;
    }

    ~Impl()
    {
        if (pid > 0 && status < 0 && ::kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        for (int fd : {in, out, err})
            close(fd);  // -1 where there is none: EBADF, harmless
    }
};

static int status_of(int raw) { return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw); }

// A pipe whose ends no program inherits past its exec.
static void open_pipe(int &read_end, int &write_end)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    read_end = ends[0], write_end = ends[1];
}

// Ours, then the options' entries, each replacing an earlier one of its name.
static std::vector<char *> child_environment(const ChildOptions &options)
{
    std::vector<char *> env;
    for (char **e = environ; *e != nullptr; ++e)
        env.push_back(*e);
    for (const std::string &entry : options.env) {
        const size_t name = entry.find('=') + 1;
        const auto same_name = [&](const char *s) { return std::strncmp(s, entry.c_str(), name) == 0; };
        env.erase(std::remove_if(env.begin(), env.end(), same_name), env.end());
        env.push_back(const_cast<char *>(entry.c_str()));
    }
    env.push_back(nullptr);
    return env;
}

// In the child: the streams and start the options ask for, up to the exec; never returns.
[[noreturn]] static void start_program(const ChildOptions &options, Ends theirs, const std::string &terminal,
                                       char **argv, char **env)
{
    if (options.terminal) {
        setsid();  // the first terminal a session leader opens becomes its controlling terminal
        theirs.in = theirs.out = theirs.err = open(terminal.c_str(), O_RDWR);
        const struct rlimit no_core = {0, 0};  // Ctrl+\ must not leave a core file behind
        setrlimit(RLIMIT_CORE, &no_core);
    }
    if (!options.stderr_path.empty())
        theirs.err = open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (options.stderr_to_stdout)
        theirs.err = theirs.out;
    dup2(theirs.in, 0);
    dup2(theirs.out, 1);
    dup2(theirs.err, 2);  // none (-1): ours stays
    if (options.nonblocking_input)
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    if (options.closed_fd >= 0)
        close(options.closed_fd);
    // As a shell starts a program, whatever the runner ignores (a script's background job: SIGINT, SIGQUIT).
    for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP})
        std::signal(signal, SIG_DFL);
    if (options.suspended)
        raise(SIGSTOP);
    if ((!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) ||
        (options.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 || setuid(options.uid) != 0)))
        _exit(126);
    execvpe(argv[0], argv, env);
    _exit(127);
}

// Fills the pipe behind `fd`, so that whoever writes to it next waits.
static void fill(int fd)
{
    const std::string block(4096, 'x');
    fcntl(fd, F_SETFL, O_NONBLOCK);
    while (write(fd, block.data(), block.size()) > 0 || errno == EINTR) {}
    fcntl(fd, F_SETFL, 0);
}

Child::Child(const std::vector<std::string> &args, const ChildOptions &options) : impl_(new Impl)
{
    Impl &c = *impl_;
    Ends theirs;
    std::string terminal;
    if (options.terminal) {
        c.in = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (c.in < 0 || grantpt(c.in) != 0 || unlockpt(c.in) != 0)
            throw std::runtime_error("no pseudo terminal");
        terminal = ptsname(c.in);
        c.out = fcntl(c.in, F_DUPFD_CLOEXEC, 0);
    } else {
        open_pipe(theirs.in, c.in);
        open_pipe(c.out, theirs.out);
    }
    if (options.stderr_undrained || options.stderr_full)
        open_pipe(c.err, theirs.err);
    if (options.stderr_full)
        fill(theirs.err);
    if (options.stdout_closed)
        close(std::exchange(c.out, -1));
    std::vector<char *> argv, env = child_environment(options);
    for (const std::string &arg : args)  // exec writes to none of them
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    c.pid = fork();
    if (c.pid < 0)
        throw std::runtime_error("fork failed");
    if (c.pid == 0)
        start_program(options, theirs, terminal, argv.data(), env.data());
    for (int fd : {theirs.in, theirs.out, theirs.err})
        close(fd);
    fcntl(c.out, F_SETFL, O_NONBLOCK);  // none if stdout_closed (-1): EBADF
    int raw;
    if (options.suspended && waitpid(c.pid, &raw, WUNTRACED) == c.pid && !WIFSTOPPED(raw))
        c.status = status_of(raw);
}

Child::Child(Child &&other) noexcept = default;

Child::~Child() = default;

void Child::resume() { ::kill(impl_->pid, SIGCONT); }

int Child::pid() const { return impl_->pid; }

// Bytes waiting in the pipe behind `fd`, or -1.
static int pending(int fd) { int bytes = 0; return ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : -1; }

int Child::undrained_errors() const { return pending(impl_->err); }

void Child::send(const std::string &bytes)
{
    // A program that has already ended must fail the test, not kill it with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (impl_->in < 0 || write(impl_->in, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("the program no longer reads its input");
}

void Child::close_input()
{
    if (isatty(impl_->in)) {  // the terminal hangs up once no descriptor holds its master end
        impl_->drain_output();
        close(std::exchange(impl_->out, -1));
    }
    close(std::exchange(impl_->in, -1));
}

bool Child::wait_for_input_read() { return eventually([&] { return pending(impl_->in) == 0; }); }

bool Child::running()
{
    int raw;
    if (impl_->status < 0 && waitpid(impl_->pid, &raw, WNOHANG) == impl_->pid)
        impl_->status = status_of(raw);
    return impl_->status < 0;
}

int Child::wait()
{
    Impl &c = *impl_;
    eventually([&] { c.drain_output(); return !running(); });
    // Its last output may still be on its way, but a helper it left may hold the pipe: a moment's.
    struct pollfd p = {c.out, POLLIN, 0};
    while (c.status >= 0 && c.out >= 0 && poll(&p, 1, 100) > 0 && c.drain_output()) {}
    return c.status;
}

void Child::kill() { ::kill(impl_->pid, SIGKILL); }

std::string Child::output() { impl_->drain_output(); return impl_->output; }

// A number from the "Name:" line of /proc/PID/status (proc(5)), or -1.
static long status_line(int pid, const std::string &name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::stol(line.substr(name.size() + 1));
    return -1;
}

int thread_count(int pid) { return static_cast<int>(status_line(pid, "Threads")); }

long resident_kb(int pid) { return status_line(pid, "VmRSS"); }

long main_thread_cpu_ms(int pid)
{
    const std::string id = std::to_string(pid);
    std::string line;
    std::getline(std::ifstream("/proc/" + id + "/task/" + id + "/stat"), line);
    // After the command's closing parenthesis: state is field 3, utime and stime 14 and 15 (proc(5)).
    long user = 0, system = 0;
    const char *fields = std::strrchr(line.c_str(), ')');
    if (!fields || std::sscanf(fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user, &system) != 2)
        return -1;
    return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

std::string program_folder() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

std::string make_empty_tmp(const std::string &keep)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("no mount namespace of its own: ") + std::strerror(errno);
    // Only a mount of this namespace can be carried over: `keep` is opened in it.
    int kept = keep.empty() ? -1 : open(keep.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (const char *place : {"/tmp", "/run/user"})
        if (fs::is_directory(place) && mount("tmpfs", place, "tmpfs", 0, "mode=1777") != 0)
            return std::string("cannot mount a tmpfs on ") + place + ": " + std::strerror(errno);
    if (kept >= 0) {
        const std::string from = "/proc/self/fd/" + std::to_string(kept);
        if (mkdir(keep.c_str(), 0755) != 0 || mount(from.c_str(), keep.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return "cannot carry " + keep + " over: " + std::strerror(errno);
        close(kept);
    }
    return "";
}

// Network and mount namespaces (in a user namespace of our ids alone unless root), /tmp keeping `place`'s top.
static std::string enter_namespaces(const std::string &place)
{
    const bool root = geteuid() == 0;
    const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWNET | (root ? 0 : CLONE_NEWUSER)) != 0)
        return std::string(root ? "no network namespace: " : "no user namespace: ") + std::strerror(errno);
    // user_namespaces(7): setgroups is denied before an unprivileged gid_map is written.
    for (const auto &[file, text] : {std::pair<std::string, std::string>{"setgroups", "deny"},
                                     {"uid_map", uid + " " + uid + " 1"}, {"gid_map", gid + " " + gid + " 1"}})
        if (!root && !(std::ofstream("/proc/self/" + file) << text << std::flush))
            return "cannot write /proc/self/" + file + " in a user namespace";
    // The lock's name lives in the network namespace, which starts with its loopback down.
    struct ifreq lo = {{"lo"}, {}};
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &lo) != 0 || (lo.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &lo) != 0))
        return std::string("cannot bring the loopback up: ") + std::strerror(errno);
    close(s);
    return make_empty_tmp(place.rfind("/tmp/", 0) == 0 ? place.substr(0, place.find('/', 5)) : "");
}

// A build tree under /tmp would be hidden too.
std::string make_private_namespaces() { return enter_namespaces(fs::read_symlink("/proc/self/exe").string()); }

std::string lock_name_in_use() { return ""; }

int run_child_role(int argc, char **argv)
{
    if (argc < 3 || std::strcmp(argv[1], "--private-run") != 0)
        return -1;
    const std::string here = fs::current_path().string(), why_not = enter_namespaces(here);
    if (!why_not.empty()) {
        std::fprintf(stderr, "no namespace of its own: %s\n", why_not.c_str());
        return 77;
    }
    fs::current_path(here);
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "cannot run %s: %s\n", argv[2], std::strerror(errno));
    return 127;
}
