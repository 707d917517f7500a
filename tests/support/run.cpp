#include "run.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

static Target g_target;

const Target &target()
{
    return g_target;
}

std::string Target::native_path(const std::string &path) const
{
    if (!wine_paths)
        return path;
    std::string native = "Z:" + path;
    for (char &c : native)
        if (c == '/')
            c = '\\';
    return native;
}

const std::vector<std::string> kOrderlyTrace = {
    "load", "EnableZMQData", "OpenVeskDevice", "SetConfig_Bool bLogPackLost true", "CloseVeskDevice",
};

std::vector<std::string> Trace::lines() const
{
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool Trace::shows(const std::string &line) const
{
    return eventually([&] {
        for (const std::string &l : lines())
            if (l == line)
                return true;
        return false;
    });
}

std::string contents(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
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
    char name[] = "/tmp/vesk-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    // Copies run as another user must reach what they run and write their trace here.
    fs::permissions(dir_, fs::perms::all | fs::perms::sticky_bit);
}

void ServerTest::TearDown()
{
    fs::remove_all(dir_);
}

Child ServerTest::start(const Trace &trace, ChildOptions options, const std::vector<std::string> &args,
                     const std::string &program)
{
    std::vector<std::string> argv = target().launcher;
    argv.push_back(program.empty() ? target().server : program);
    argv.insert(argv.end(), args.begin(), args.end());
    options.env.push_back(trace.env());
    return Child(argv, options);
}

Child ServerTest::start_holder(const Trace &trace)
{
    Child child = start(trace);
    EXPECT_TRUE(trace.shows("SetConfig_Bool bLogPackLost true")) << "the first copy did not start";
    return child;
}

void ServerTest::quit(Child &child, const Trace &trace)
{
    child.send("q\n");
    expect_orderly_end(child, trace);
}

void ServerTest::expect_orderly_end(Child &child, const Trace &trace)
{
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.output(), output_of({"VeskServer Start!", "VeskServer Closed!"}));
    EXPECT_EQ(trace.lines(), kOrderlyTrace);
}

void ServerTest::expect_refused(Child &child, const Trace &trace)
{
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.output(), output_of({"VeskServer Start!"}));
    EXPECT_EQ(trace.lines(), std::vector<std::string>{"load"});
}

std::string ServerTest::copy_server(const std::string &folder, const std::string &library)
{
    fs::path to = fs::path(dir_) / folder;
    fs::create_directories(to);
    fs::path server = target().server;
    fs::copy_file(server, to / server.filename());
    if (!library.empty())
        fs::copy_file(library, to / fs::path(library).filename());
    return (to / server.filename()).string();
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value = arg.substr(arg.find('=') + 1);
        if (arg.rfind("--launcher=", 0) == 0)
            g_target.launcher.push_back(value);
        else if (arg.rfind("--server=", 0) == 0)
            g_target.server = value;
        else if (arg == "--eol=crlf")
            g_target.eol = "\r\n";
        else if (arg == "--paths=wine")
            g_target.wine_paths = true;
        else if (arg.rfind("--library=", 0) == 0)
            g_target.library = value;
        else if (arg.rfind("--lacking=", 0) == 0)
            g_target.lacking = value;
        else if (arg.rfind("--helpers=", 0) == 0)
            g_target.helpers = value;
        else if (arg.rfind("--listener=", 0) == 0)
            g_target.listener = value;
        else if (arg.rfind("--preload=", 0) == 0)
            g_target.preload = value;
        else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
