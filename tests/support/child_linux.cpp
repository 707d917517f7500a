#include "child.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sstream>
#include <sched.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

extern char **environ;

struct Child::Impl {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    int gate = -1;  // the write end the suspended program waits on
    int status = -1;
    bool terminal = false;
    std::string output;

    void drain_output()
    {
        char buffer[4096];
        ssize_t n;
        while (out >= 0 && (n = read(out, buffer, sizeof buffer)) > 0)
            output.append(buffer, static_cast<size_t>(n));
    }
};

static std::vector<std::string> child_environment(const ChildOptions &options)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const std::string &entry : options.env) {
        std::string name = entry.substr(0, entry.find('=') + 1);
        for (auto it = env.begin(); it != env.end();)
            it = it->compare(0, name.size(), name) == 0 ? env.erase(it) : it + 1;
        env.push_back(entry);
    }
    return env;
}

static std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The pipes between the test and the program, where the options ask for them; -1 elsewhere.
struct Pipes {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};   // standard error that nobody drains
    int gate[2] = {-1, -1};  // what a suspended program waits on
};

static bool stderr_undrained(const ChildOptions &options)
{
    return options.stderr_undrained || options.stderr_full;
}

// Fills the pipe that `fd` writes to, so that whoever writes to it next would wait.
static void fill_pipe(int fd)
{
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(fd, block.data(), block.size()) > 0 || errno == EINTR) {
    }
    fcntl(fd, F_SETFL, 0);
}

static Pipes make_pipes(const ChildOptions &options)
{
    Pipes p;
    if ((!options.terminal && (pipe2(p.in, O_CLOEXEC) != 0 || pipe2(p.out, O_CLOEXEC) != 0)) ||
        (stderr_undrained(options) && pipe2(p.err, O_CLOEXEC) != 0) ||
        (options.suspended && pipe2(p.gate, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    if (options.stderr_full)
        fill_pipe(p.err[1]);
    if (options.stdout_closed && !options.terminal)
        close(p.out[0]);
    return p;
}

// A new pseudo terminal's master end; `name` gets the path of its slave.
static int open_pseudo_terminal(std::string &name)
{
    int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
        throw std::runtime_error("no pseudo terminal");
    name = ptsname(terminal);
    return terminal;
}

// In the child: the standard descriptors the options ask for.
static void set_up_standard_streams(const ChildOptions &options, const Pipes &p, const std::string &terminal_name)
{
    if (!options.terminal) {
        dup2(p.in[0], 0);
        dup2(p.out[1], 1);
    } else {
        // The first terminal a session leader opens becomes its controlling terminal.
        setsid();
        int slave = open(terminal_name.c_str(), O_RDWR);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        // Ctrl+\ must not leave a core file behind.
        struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
    }
    if (!options.stderr_path.empty()) {
        int err = open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
    }
    if (options.stderr_to_stdout)
        dup2(1, 2);
    if (stderr_undrained(options))
        dup2(p.err[1], 2);
    if (options.nonblocking_input)
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    if (options.closed_fd >= 0)
        close(options.closed_fd);
}

// In the child: the rest of what the program starts with, up to its exec; never returns.
[[noreturn]] static void start_program(const ChildOptions &options, const Pipes &p, std::vector<char *> &argv,
                                       std::vector<char *> &env)
{
    // As a terminal's shell starts a program, whatever the test runner ignores (a job that a
    // script puts in the background ignores SIGINT and SIGQUIT).
    for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP})
        std::signal(signal, SIG_DFL);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
        _exit(126);
    if (options.suspended) {
        char byte;
        close(p.gate[1]);
        while (read(p.gate[0], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    if (options.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 || setuid(options.uid) != 0))
        _exit(126);
    execvpe(argv[0], argv.data(), env.data());
    _exit(127);
}

// In the test: keeps the ends of the pipes or the terminal that talk to the program.
static void keep_our_ends(Child::Impl &c, const ChildOptions &options, const Pipes &p, int terminal)
{
    if (stderr_undrained(options)) {
        close(p.err[1]);
        c.err = p.err[0];
    }
    if (options.suspended) {
        close(p.gate[0]);
        c.gate = p.gate[1];
    }
    if (options.terminal) {
        c.in = terminal;
        c.out = dup(terminal);
    } else {
        close(p.in[0]);
        close(p.out[1]);
        c.in = p.in[1];
        if (!options.stdout_closed)
            c.out = p.out[0];
    }
    if (c.out >= 0)
        fcntl(c.out, F_SETFL, O_NONBLOCK);
}

Child::Child(const std::vector<std::string> &argv_in, const ChildOptions &options) : impl_(new Impl)
{
    Impl &c = *impl_;
    const Pipes pipes = make_pipes(options);
    std::string terminal_name;
    const int terminal = options.terminal ? open_pseudo_terminal(terminal_name) : -1;
    std::vector<std::string> argv = argv_in, env = child_environment(options);
    std::vector<char *> c_argv = c_strings(argv), c_env = c_strings(env);

    c.pid = fork();
    if (c.pid < 0)
        throw std::runtime_error("fork failed");
    c.terminal = options.terminal;
    if (c.pid == 0) {
        set_up_standard_streams(options, pipes, terminal_name);
        start_program(options, pipes, c_argv, c_env);
    }
    keep_our_ends(c, options, pipes, terminal);
}

Child::Child(Child &&other) noexcept = default;

Child::~Child()
{
    if (!impl_)
        return;
    Impl &c = *impl_;
    if (c.pid > 0 && c.status < 0) {
        ::kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
    }
    for (int fd : {c.in, c.out, c.err, c.gate})
        if (fd >= 0)
            close(fd);
}

void Child::resume()
{
    close(impl_->gate);
    impl_->gate = -1;
}

int Child::pid() const
{
    return impl_->pid;
}

int Child::undrained_errors() const
{
    int pending = 0;
    ioctl(impl_->err, FIONREAD, &pending);
    return pending;
}

void Child::send(const std::string &bytes)
{
    // A program that has already ended must fail the test, not kill it with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (impl_->in < 0 || write(impl_->in, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("the program no longer reads its input");
}

void Child::close_input()
{
    Impl &c = *impl_;
    close(c.in);
    c.in = -1;
    if (c.terminal) {
        c.drain_output();
        close(c.out);
        c.out = -1;
    }
}

bool Child::wait_for_input_read()
{
    return eventually([&] {
        int pending = 0;
        return ioctl(impl_->in, FIONREAD, &pending) == 0 && pending == 0;
    });
}

bool Child::running()
{
    Impl &c = *impl_;
    if (c.status >= 0)
        return false;
    int raw;
    pid_t r = waitpid(c.pid, &raw, WNOHANG);
    if (r == 0)
        return true;
    c.status = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
    return false;
}

int Child::wait()
{
    Impl &c = *impl_;
    eventually([&] {
        c.drain_output();
        return !running();
    });
    if (c.status >= 0 && c.out >= 0) {
        // What the program wrote last may still be in the pipe; a helper process it left
        // behind may hold the pipe open, so read only what is there.
        struct pollfd p = {c.out, POLLIN, 0};
        while (poll(&p, 1, 100) > 0 && (p.revents & POLLIN)) {
            size_t before = c.output.size();
            c.drain_output();
            if (c.output.size() == before)
                break;
        }
    }
    return c.status;
}

void Child::kill()
{
    ::kill(impl_->pid, SIGKILL);
}

std::string Child::output()
{
    impl_->drain_output();
    return impl_->output;
}

int thread_count(int pid)
{
    DIR *tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (tasks == nullptr)
        return -1;
    int n = 0;
    while (dirent *entry = readdir(tasks))
        n += entry->d_name[0] != '.';
    closedir(tasks);
    return n;
}

long resident_kb(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

long main_thread_cpu_ms(int pid)
{
    const std::string id = std::to_string(pid);
    std::ifstream stat("/proc/" + id + "/task/" + id + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
        return -1;
    // After the command's closing parenthesis: state is field 3, utime and stime 14 and 15.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stol(field);
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

std::string program_folder()
{
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

static bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path);
    out << text;
    out.close();
    return out.good();
}

std::string make_empty_tmp(const std::string &keep)
{
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("no mount namespace: ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot make the mounts private: ") + std::strerror(errno);
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

// A non-root user gets the namespaces through a user namespace that maps only their own ids.
// `place`, if it lies under /tmp, stays reachable: its top folder there is carried over.
static std::string enter_namespaces(const std::string &place)
{
    if (geteuid() != 0) {
        const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return std::string("no user namespace: ") + std::strerror(errno);
        if (!write_file("/proc/self/setgroups", "deny") || !write_file("/proc/self/uid_map", uid + " " + uid + " 1") ||
            !write_file("/proc/self/gid_map", gid + " " + gid + " 1"))
            return "cannot map our ids in a user namespace";
    } else if (unshare(CLONE_NEWNET) != 0) {
        return std::string("no network namespace: ") + std::strerror(errno);
    }
    // The lock's name lives in the network namespace, which starts with its loopback down.
    struct ifreq lo = {};
    std::strcpy(lo.ifr_name, "lo");
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &lo) != 0 || (lo.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &lo) != 0))
        return std::string("cannot bring the loopback up: ") + std::strerror(errno);
    close(s);
    return make_empty_tmp(place.rfind("/tmp/", 0) == 0 ? place.substr(0, place.find('/', 5)) : "");
}

// A build tree under /tmp would be hidden too.
std::string make_private_namespaces()
{
    return enter_namespaces(fs::read_symlink("/proc/self/exe").string());
}

std::string lock_name_in_use()
{
    return "";
}

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
