#pragma once

// The black-box tests' process layer: child_linux.cpp or child_windows.cpp, chosen by the build.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

inline constexpr std::chrono::seconds kPatience{30};  // every wait's bound: a cold Wine start alone takes seconds

// Polls `condition` until it holds or `patience` has passed; returns whether it held.
inline bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds patience = kPatience)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

struct ChildOptions {
    std::vector<std::string> env;  // NAME=value entries added to ours
    bool suspended = false;        // started, but it runs only from resume() on
    bool stdout_closed = false;    // the reader of standard output is gone before the start
    std::string stderr_path;       // standard error goes to this file instead of ours
    bool stderr_to_stdout = false; // standard error is the standard output pipe
    bool stderr_undrained = false; // standard error is a pipe that nobody reads
    bool stderr_full = false;      // the same, and it is full from the start
    std::string cwd;               // the folder the program starts in
    bool terminal = false;         // a line-mode pseudo terminal it leads (Windows: pseudo console)
    int code_page = 0;             // Windows console: the input code page set (SetConsoleCP) first
    int uid = -1;                  // POSIX: drop to this uid, and the group of that number, before exec
    int closed_fd = -1;            // POSIX: this standard descriptor is closed at the start
    bool nonblocking_input = false; // POSIX: the open file behind standard input is O_NONBLOCK
};

// A program started with pipes on its standard streams, ended with this object (Windows: all it started).
class Child {
public:
    Child(const std::vector<std::string> &argv, const ChildOptions &options = {});
    ~Child();
    Child(Child &&other) noexcept;  // and no copy

    void resume();  // lets a program started `suspended` run
    void send(const std::string &bytes);  // at a terminal: typed
    void close_input();  // a terminal hangs up, a console closes as when its window is closed
    bool wait_for_input_read();  // all sent so far read within kPatience (not at a terminal)
    int wait();  // exit status (POSIX: 128 + signal if killed), -1 after kPatience; output() complete
    bool running();
    void kill();  // at once, as SIGKILL or TerminateProcess
    int pid() const;  // at a Windows console: the program's, not the console's
    int undrained_errors() const;  // bytes waiting in the undrained standard error pipe
    std::string output();  // standard output (a terminal's screen) so far, with stderr_to_stdout errors

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

long resident_kb(int pid);  // resident memory of process `pid` in kB (Windows: its working set), or -1

long main_thread_cpu_ms(int pid);  // its main thread's processor time so far in ms (POSIX: whole clock ticks), or -1

std::string program_folder();  // of this test program, and of the programs under test beside it

// POSIX: network, user (unless root) and mount namespaces, off the user's own copy's lock; why not, or "".
std::string make_private_namespaces();

// The role's status, or -1 for none: a pseudo console's helper; `--private-run PROGRAM ARGS...` (77: no namespaces).
int run_child_role(int argc, char **argv);

// Why the cases cannot take the server's lock name, or ""; Linux: always "", namespaces keep it.
std::string lock_name_in_use();

#ifdef _WIN32
// Where the loader finds `library` past the program's folder, current folder and PATH (System32, System,
// Windows), or "".
std::string system_copy_of(const std::string &library);
#else
inline std::string system_copy_of(const std::string &) { return ""; }
int thread_count(int pid);  // the threads of process `pid`, or -1
// A mount namespace for us and our children, /tmp and /run/user empty but for `keep`; why not, or "".
std::string make_empty_tmp(const std::string &keep);
#endif
