#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "child.h"
#include "lines.h"
#include "vesk/call_trace.h"
#include "vesk/says.h"

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// The programs under test, beside the test program, and what its command line adds.
struct Target {
    std::string server, listener;  // the server and the data output's listener
    std::string helpers;   // the folder of the test's own helper programs
    std::string eol;       // how a written newline arrives
    std::string library;   // --library=NAME: the device library's file name
    std::string lacking;   // --lacking=DIR: a library without CloseVeskDevice
    std::string preload;   // --preload=PATH: a library to preload into the server
};

const Target &target();

// The stand-in device library's record of one program's calls.
struct Trace {
    std::string path;
    std::string env() const { return "VESK_DEVICE_TRACE=" + path; }
    std::vector<std::string> lines() const;
    bool wait_for_line(const std::string &line) const;  // false if not there within kPatience
    bool wait_for_start() const { return wait_for_line(VESK_TRACE_LOG_LOST); }  // its last call before q's wait
};

// The trace of an orderly run, and of a copy that has not closed the device (waiting, or ended).
extern const std::vector<std::string> kOrderlyTrace;
extern const std::vector<std::string> kStartedTrace;

size_t count_of(const std::string &text, const std::string &word);  // how often `word` occurs in `text`

std::string contents(const std::string &path);  // the whole of a file; empty if there is none

std::string output_of(const std::vector<std::string> &lines);  // the lines as the program writes them

// Each test gets a folder of its own for traces and copies of the program.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    Trace trace(const std::string &name) const { return {dir_ + "/" + name}; }
    Child start(const Trace &trace, ChildOptions options = {}, const std::vector<std::string> &args = {},
                const std::string &program = "");
    // Starts a copy and waits until it holds the lock (it has started the device library).
    Child start_holder(const Trace &trace)
    {
        Child child = start(trace);
        EXPECT_TRUE(trace.wait_for_start()) << "the first copy did not start";
        return child;
    }
    void quit(Child &child, const Trace &trace) { child.send("q\n"); expect_orderly_end(child, trace); }
    void expect_orderly_end(Child &child, const Trace &trace);  // both lines, status 0, every entry point called
    void expect_refused(Child &child, const Trace &trace);  // start line only, status 0, no entry point called
    void expect_not_started(Child &child, const Trace &trace);  // stopped before main: failure, no output, no call
    // Q ignored, q closes the device before the trailing read takes a byte or the end; `during(n)` in read n.
    void walk_to_the_end(Child &child, const Trace &trace, bool end_input, const std::function<void(int)> &during);
    // Copies the server alone, or with `library` beside it, into a new folder; returns its path.
    std::string copy_server(const std::string &folder, const std::string &library = "");

    std::string dir_;
};
