#pragma once

// The process layer of the black-box tests: one header, one source file per platform
// (child_linux.cpp, child_windows.cpp), chosen by the build.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Every wait in the tests is bounded: it polls a condition until this much time has gone.
// A cold Wine start alone can take several seconds.
inline constexpr std::chrono::seconds kPatience{30};

// Polls `condition` until it holds or `patience` has passed; returns whether it held.
inline bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds patience = kPatience)
{
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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
    // Standard streams are a terminal in line mode (a pseudo terminal it leads; on Windows a
    // pseudo console): send() types, output() is the screen, close_input() hangs up.
    bool terminal = false;

    // POSIX only.
    int uid = -1;                  // drop to this uid, and the group of that number, before exec
    int closed_fd = -1;            // this standard descriptor is closed at the start
    bool nonblocking_input = false; // the open file behind standard input is O_NONBLOCK
};

// A program started with pipes on its standard input and output, which ends with this
// object if it has not ended before (on Windows with everything it started).
class Child {
public:
    Child(const std::vector<std::string> &argv, const ChildOptions &options = {});
    ~Child();
    Child(Child &&other) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Lets a program started `suspended` run.
    void resume();
    void send(const std::string &bytes);
    // Ends the input; a terminal hangs up and a console closes, as when its window is closed.
    void close_input();
    // Waits up to kPatience until the program has read everything sent to it so far (not for a
    // terminal); false if it has not.
    bool wait_for_input_read();
    // Exit status (POSIX: 128 + signal number for a killed program), or -1 if it has not
    // ended within kPatience. Afterwards output() holds all the program wrote.
    int wait();
    bool running();
    // Ends the program at once, as SIGKILL or TerminateProcess does.
    void kill();
    // The program's process id (at a Windows console: the program's, not the console's).
    int pid() const;
    // Bytes waiting in the undrained standard error pipe.
    int undrained_errors() const;
    // Everything written to standard output so far (and standard error, with stderr_to_stdout).
    std::string output();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The threads of process `pid`, or -1.
int thread_count(int pid);

// Resident memory of process `pid` in kB (Windows: its working set), or -1.
long resident_kb(int pid);

// Processor time that the main thread of process `pid` has used so far, in milliseconds at the
// platform's granularity (POSIX: clock ticks), or -1.
long main_thread_cpu_ms(int pid);

// The folder that holds this test program, and the programs under test beside it.
std::string program_folder();

// POSIX: a mount namespace for this process and its children with an empty /tmp and /run/user,
// carrying over only `keep`, a folder under /tmp. Returns why not, or an empty string.
std::string make_empty_tmp(const std::string &keep);

// POSIX: network, user (unless root) and mount namespaces for this process and its children, so
// no case touches the lock of the user's own copy. Returns why not, or an empty string.
std::string make_private_namespaces();

// Runs the role the arguments name, returning its status, or -1 for none: on Windows a program in
// a pseudo console; on Linux `--private-run PROGRAM ARGS...` in private namespaces (77: none).
int run_child_role(int argc, char **argv);

// Why the cases cannot take the server's lock name, or an empty string; on Linux always empty,
// since they take it in a network namespace of their own.
std::string lock_name_in_use();

#ifdef _WIN32
// Why no pseudo console can be had here (before Windows 10 1809), or an empty string.
std::string console_unavailable();
#endif
