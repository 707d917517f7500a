#include "child.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

bool eventually(const std::function<bool()> &condition)
{
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

static std::vector<std::string> child_environment(const ChildOptions &options)
{
    std::vector<std::string> env;
    if (!options.clear_env)
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

Child::Child(const std::vector<std::string> &argv_in, const ChildOptions &options)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const bool undrained = options.stderr_undrained || options.stderr_full;
    if ((!options.terminal && (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)) ||
        (undrained && pipe2(err, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    if (options.stderr_full) {
        fcntl(err[1], F_SETFL, O_NONBLOCK);
        const std::string block(4096, 'x');
        while (write(err[1], block.data(), block.size()) > 0 || errno == EINTR) {
        }
        fcntl(err[1], F_SETFL, 0);
    }
    int terminal = -1;
    std::string terminal_name;
    if (options.terminal) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
            throw std::runtime_error("no pseudo terminal");
        terminal_name = ptsname(terminal);
    }
    std::vector<std::string> argv = argv_in, env = child_environment(options);
    std::vector<char *> c_argv = c_strings(argv), c_env = c_strings(env);
    if (options.stdout_closed && !options.terminal)
        close(out[0]);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    terminal_ = options.terminal;
    if (pid_ == 0) {
        if (!options.terminal) {
            dup2(in[0], 0);
            dup2(out[1], 1);
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
        if (undrained)
            dup2(err[1], 2);
        if (options.nonblocking_input)
            fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        if (options.closed_fd >= 0)
            close(options.closed_fd);
        // As a terminal's shell starts a program, whatever the test runner ignores (a job that a
        // script puts in the background ignores SIGINT and SIGQUIT).
        for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP})
            std::signal(signal, SIG_DFL);
        if (options.umask >= 0)
            ::umask(static_cast<mode_t>(options.umask));
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        if (options.gate >= 0) {
            char byte;
            while (read(options.gate, &byte, 1) < 0 && errno == EINTR) {
            }
        }
        if (options.uid != static_cast<uid_t>(-1) && (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 || setuid(options.uid) != 0))
            _exit(126);
        execvpe(c_argv[0], c_argv.data(), c_env.data());
        _exit(127);
    }
    if (undrained) {
        close(err[1]);
        err_ = err[0];
    }
    if (options.terminal) {
        in_ = terminal;
        out_ = dup(terminal);
    } else {
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        if (!options.stdout_closed)
            out_ = out[0];
    }
    if (out_ >= 0)
        fcntl(out_, F_SETFL, O_NONBLOCK);
}

Child::Child(Child &&other) noexcept
    : pid_(other.pid_), in_(other.in_), out_(other.out_), err_(other.err_), status_(other.status_),
      terminal_(other.terminal_), output_(std::move(other.output_))
{
    other.pid_ = other.in_ = other.out_ = other.err_ = -1;
}

Child::~Child()
{
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0)
        close(in_);
    if (out_ >= 0)
        close(out_);
    if (err_ >= 0)
        close(err_);
}

int Child::undrained_errors() const
{
    int pending = 0;
    ioctl(err_, FIONREAD, &pending);
    return pending;
}

void Child::send(const std::string &bytes)
{
    // A program that has already ended must fail the test, not kill it with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (in_ < 0 || write(in_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("the program no longer reads its input");
}

void Child::close_input()
{
    close(in_);
    in_ = -1;
    if (terminal_) {
        drain_output();
        close(out_);
        out_ = -1;
    }
}

bool Child::consumed_input()
{
    return eventually([&] {
        int pending = 0;
        return ioctl(in_, FIONREAD, &pending) == 0 && pending == 0;
    });
}

bool Child::running()
{
    if (status_ >= 0)
        return false;
    int raw;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == 0)
        return true;
    status_ = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
    return false;
}

int Child::wait()
{
    eventually([&] {
        drain_output();
        return !running();
    });
    if (status_ >= 0 && out_ >= 0) {
        // What the program wrote last may still be in the pipe; a helper process it left
        // behind may hold the pipe open, so read only what is there.
        struct pollfd p = {out_, POLLIN, 0};
        while (poll(&p, 1, 100) > 0 && (p.revents & POLLIN)) {
            size_t before = output_.size();
            drain_output();
            if (output_.size() == before)
                break;
        }
    }
    return status_;
}

void Child::kill(int signal)
{
    ::kill(pid_, signal);
}

const std::string &Child::output()
{
    drain_output();
    return output_;
}

void Child::drain_output()
{
    char buffer[4096];
    ssize_t n;
    while (out_ >= 0 && (n = read(out_, buffer, sizeof buffer)) > 0)
        output_.append(buffer, static_cast<size_t>(n));
}
