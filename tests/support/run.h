#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child.h"

// How the program under test is started, taken from the test binary's command line, so
// the same cases run against the Linux build and, under Wine, the Windows one.
struct Target {
    std::vector<std::string> launcher;  // --launcher=wine: put before the program
    std::string server;                 // --server=PATH
    std::string eol = "\n";             // --eol=crlf: how a written newline arrives
    bool wine_paths = false;            // --paths=wine: the program sees /a/b as Z:\a\b
    std::string library;                // --library=NAME: the device library's file name
    std::string lacking;                // --lacking=DIR: a library without CloseVeskDevice
    std::string helpers;                // --helpers=DIR: the Windows test programs
    std::string listener;               // --listener=PATH: the data output's listener
    std::string preload;                // --preload=PATH: a library to preload into the server

    std::string native_path(const std::string &path) const;
};

const Target &target();

// The stand-in device library's record of one program's calls.
class Trace {
public:
    explicit Trace(std::string path) : path_(std::move(path)) {}
    std::string env() const { return "VESK_DEVICE_TRACE=" + target().native_path(path_); }
    std::vector<std::string> lines() const;
    // Waits until `line` is in the trace.
    bool shows(const std::string &line) const;

private:
    std::string path_;
};

// The trace of a whole orderly run, and of one the platform ended before the close.
extern const std::vector<std::string> kOrderlyTrace;
extern const std::vector<std::string> kInterruptedTrace;

// How often `word` occurs in `text`.
size_t count_of(const std::string &text, const std::string &word);

// The whole of a file; empty if there is none.
std::string contents(const std::string &path);

// The given lines as the program writes them.
std::string output_of(const std::vector<std::string> &lines);

// Each test gets a folder of its own for traces and copies of the program.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    Trace trace(const std::string &name) const { return Trace(dir_ + "/" + name); }
    Child start(const Trace &trace, ChildOptions options = {}, const std::vector<std::string> &args = {},
                const std::string &program = "");
    // Starts a copy and waits until it holds the lock (it has started the device library).
    Child start_holder(const Trace &trace);
    // Sends q and a line end, and checks that the copy ends in order.
    void quit(Child &child, const Trace &trace);
    // Checks that a copy ended in order: both lines, status 0, every entry point called.
    void expect_orderly_end(Child &child, const Trace &trace);
    // Checks that a copy was refused: start line only, status 0, no entry point called.
    void expect_refused(Child &child, const Trace &trace);
    // Copies the server alone, or with `library` beside it, into a new folder; returns its path.
    std::string copy_server(const std::string &folder, const std::string &library = "");

    std::string dir_;
};
