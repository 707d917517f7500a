#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// Every wait in the tests is bounded: it polls a condition until this much time has gone.
// A cold Wine start alone can take several seconds.
inline constexpr std::chrono::seconds kPatience{30};

// Polls `condition` until it holds or kPatience has passed; returns whether it held.
bool eventually(const std::function<bool()> &condition);

struct ChildOptions {
    std::vector<std::string> env;  // NAME=value entries added to (or, with clear_env, instead of) ours
    bool clear_env = false;
    uid_t uid = static_cast<uid_t>(-1);  // drop to this uid, and the group of that number, before exec
    bool stdout_closed = false;          // the reader of standard output is gone before the start
    int gate = -1;                       // exec only once a byte can be read from this descriptor
    std::string stderr_path;             // standard error goes to this file instead of ours
    int closed_fd = -1;                  // this standard descriptor is closed at the start
    bool nonblocking_input = false;      // the open file behind standard input is O_NONBLOCK
    bool stderr_undrained = false;       // standard error is a pipe that nobody reads
    bool stderr_full = false;            // the same, and it is full from the start
    int umask = -1;                      // the umask the program starts with
    std::string cwd;                     // the folder the program starts in
    bool terminal = false;               // standard streams are a pseudo terminal whose session it
                                         // leads, in line mode; close_input() hangs it up
};

// A program started with pipes on its standard input and output.
class Child {
public:
    Child(const std::vector<std::string> &argv, const ChildOptions &options = {});
    ~Child();
    Child(Child &&other) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    void send(const std::string &bytes);
    // Ends the input; a terminal hangs up, as when its window is closed.
    void close_input();
    // True once the program has read everything sent to it so far.
    bool consumed_input();
    // Exit status, 128 + signal number for a killed program, or -1 if it has not ended
    // within kPatience.
    int wait();
    bool running();
    void kill(int signal);
    pid_t pid() const { return pid_; }
    // Bytes waiting in the undrained standard error pipe.
    int undrained_errors() const;
    // Everything written to standard output so far; after wait(), all of it.
    const std::string &output();

private:
    void drain_output();

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    int status_ = -1;
    bool terminal_ = false;
    std::string output_;
};
