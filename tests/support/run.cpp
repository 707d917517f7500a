#include "run.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace fs = std::filesystem;

static Target g_target;

const Target &target() { return g_target; }

const std::vector<std::string> kOrderlyTrace = {VESK_TRACE_LOAD, VESK_TRACE_ENABLE, VESK_TRACE_OPEN,
                                                VESK_TRACE_LOG_LOST, VESK_TRACE_CLOSE};

const std::vector<std::string> kStartedTrace = {kOrderlyTrace.begin(), kOrderlyTrace.end() - 1};

size_t count_of(const std::string &text, const std::string &word)
{
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

std::vector<std::string> Trace::lines() const
{
    std::ifstream in(fs::u8path(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool Trace::wait_for_line(const std::string &line) const
{
    return eventually([&] { const auto all = lines(); return std::find(all.begin(), all.end(), line) != all.end(); });
}

std::string contents(const std::string &path)
{
    std::ifstream in(fs::u8path(path));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string output_of(const std::vector<std::string> &lines)
{
    std::string out;
    for (const std::string &line : lines)
        out += line + target().eol;
    return out;
}

void ServerTest::SetUp()
{
    std::random_device random;
    do
        dir_ = (fs::temp_directory_path() / ("vesk-test-" + std::to_string(random()))).u8string();
    while (!fs::create_directory(fs::u8path(dir_)));
    // Copies run as another user must reach what they run and write their trace here.
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::all | fs::perms::sticky_bit, ignored);
}

// Every program has ended by now (on Windows, with all it started); a scanner may hold a file a moment longer.
void ServerTest::TearDown()
{
    std::error_code error;
    if (!eventually([&] { return fs::remove_all(fs::u8path(dir_), error) != static_cast<std::uintmax_t>(-1); },
                    std::chrono::seconds(5)))
        ADD_FAILURE() << "cannot remove " << dir_ << ": " << error.message();
}

Child ServerTest::start(const Trace &trace, ChildOptions options, const std::vector<std::string> &args,
                     const std::string &program)
{
    std::vector<std::string> argv = {program.empty() ? target().server : program};
    argv.insert(argv.end(), args.begin(), args.end());
    // A port of its own unless the case names one: under Wine no namespace hides the default.
    options.env.insert(options.env.begin(), "VESK_DEVICE_ENDPOINT=tcp://127.0.0.1:*");
    options.env.push_back(trace.env());
    return Child(argv, options);
}

void ServerTest::expect_orderly_end(Child &child, const Trace &trace)
{
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.output(), output_of({VESK_START_LINE, VESK_CLOSED_LINE}));
    EXPECT_EQ(trace.lines(), kOrderlyTrace);
}

void ServerTest::expect_refused(Child &child, const Trace &trace)
{
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.output(), output_of({VESK_START_LINE}));
    EXPECT_EQ(trace.lines(), std::vector<std::string>{VESK_TRACE_LOAD});
}

void ServerTest::expect_not_started(Child &child, const Trace &trace)
{
    const int status = child.wait();
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    EXPECT_EQ(child.output(), "");
    EXPECT_EQ(trace.lines(), std::vector<std::string>{}) << "the library was loaded";
}

void ServerTest::walk_to_the_end(Child &child, const Trace &trace, bool end_input,
                                 const std::function<void(int)> &during)
{
    ASSERT_TRUE(trace.wait_for_start());
    ASSERT_NO_FATAL_FAILURE(during(1));
    child.send("Q\n");
    ASSERT_TRUE(child.wait_for_input_read());
    EXPECT_EQ(trace.lines(), kStartedTrace) << "the device was closed before any q";
    child.send("q");
    ASSERT_TRUE(trace.wait_for_line(VESK_TRACE_CLOSE));
    EXPECT_EQ(child.output(), output_of({VESK_START_LINE})) << "the closing line came before the trailing read";
    ASSERT_NO_FATAL_FAILURE(during(2));
    if (end_input) {
        child.close_input();
    } else {
        child.send("z");
        EXPECT_TRUE(child.wait_for_input_read()) << "the trailing read did not wait for its byte";
    }
    expect_orderly_end(child, trace);
}

std::string ServerTest::copy_server(const std::string &folder, const std::string &library)
{
    const fs::path to = fs::u8path(dir_) / folder, server = fs::u8path(target().server);
    fs::create_directories(to);
    fs::copy(server, to);  // a file copied to a folder lands in it under its own name
    if (!library.empty())
        fs::copy(fs::u8path(library), to);
    return (to / server.filename()).u8string();
}

int main(int argc, char **argv)
{
    if (const int role = run_child_role(argc, argv); role >= 0)
        return role;
    ::testing::InitGoogleTest(&argc, argv);
    const std::string exe = kWindows ? ".exe" : "";
    g_target.helpers = program_folder();
    g_target.server = g_target.helpers + "/VeskServer" + exe;
    g_target.listener = g_target.helpers + "/vesk-listen" + exe;
    g_target.eol = kWindows ? "\r\n" : "\n";
    // What the command line adds to the target; why the cases cannot run, or "".
    std::string why_not = lock_name_in_use();
    for (int i = 1; i < argc && why_not.empty(); ++i) {
        const std::string arg = argv[i], value = arg.substr(arg.find('=') + 1);
        if (arg.rfind("--library=", 0) == 0)
            g_target.library = value;
        else if (arg.rfind("--lacking=", 0) == 0)
            g_target.lacking = value;
        else if (arg.rfind("--preload=", 0) == 0)
            g_target.preload = value;
        else if (arg == "--private-namespaces")  // without them the cases would take the user's own lock
            why_not = make_private_namespaces();
        else
            why_not = "unknown argument " + arg;
    }
    if (why_not.empty())
        return RUN_ALL_TESTS();
    std::fprintf(stderr, "not starting the cases: %s\n", why_not.c_str());
    return 1;
}
