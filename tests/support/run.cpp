#include "run.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

static Target g_target;
// Why this process has no lock place of its own; empty when it has one or needs none.
static std::string g_no_private_tmp;

static bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path);
    out << text;
    out.close();
    return out.good();
}

// Gives this process, and every copy it starts, /tmp, /run/user and a network namespace of their
// own, so the cases never touch the lock of a copy that the user who runs them has running. A
// non-root user gets the namespaces through a user namespace that maps only their own ids.
// Returns why not, or an empty string.
static std::string make_private_tmp()
{
    // A build tree under /tmp would be hidden too: its top folder there is carried over.
    std::string keep;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    if (self.rfind("/tmp/", 0) == 0)
        keep = self.substr(0, self.find('/', 5));
    if (geteuid() != 0) {
        const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
            return std::string("no user namespace: ") + std::strerror(errno);
        if (!write_file("/proc/self/setgroups", "deny") || !write_file("/proc/self/uid_map", uid + " " + uid + " 1") ||
            !write_file("/proc/self/gid_map", gid + " " + gid + " 1"))
            return "cannot map our ids in a user namespace";
    } else if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        return std::string("no mount and network namespace: ") + std::strerror(errno);
    }
    // The lock's name lives in the network namespace, which starts with its loopback down.
    struct ifreq lo = {};
    std::strcpy(lo.ifr_name, "lo");
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &lo) != 0 || (lo.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &lo) != 0))
        return std::string("cannot bring the loopback up: ") + std::strerror(errno);
    close(s);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot make the mounts private: ") + std::strerror(errno);
    int kept = keep.empty() ? -1 : open(keep.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (const char *place : {"/tmp", "/run/user"})
        if (fs::is_directory(place) && mount("tmpfs", place, "tmpfs", 0, "mode=1777") != 0)
            return std::string("cannot mount a tmpfs on ") + place + ": " + std::strerror(errno);
    if (kept >= 0) {
        const std::string from = "/proc/self/fd/" + std::to_string(kept);
        if (mkdir(keep.c_str(), 0755) != 0 || mount(from.c_str(), keep.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return "cannot carry the build tree " + keep + " over: " + std::strerror(errno);
        close(kept);
    }
    return "";
}

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

const std::vector<std::string> kInterruptedTrace = {kOrderlyTrace.begin(), kOrderlyTrace.end() - 1};

size_t count_of(const std::string &text, const std::string &word)
{
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

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
    if (!g_no_private_tmp.empty())
        GTEST_SKIP() << "these cases run only with a /tmp of their own, and " << g_no_private_tmp;
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
        else if (arg == "--private-tmp")
            g_no_private_tmp = make_private_tmp();
        else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
