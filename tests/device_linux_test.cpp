// The Linux device library's socket files, what FIFOs, full disks and limits do to it; the Python example.
#include <fstream>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "support/device.h"

// libzmq would remove whatever stands at an ipc:// path, a live socket too, or one another user could
// swap. A close removes our socket file, a killed run's is replaced; a sticky folder lets nobody rename it.
TEST_F(Device, IpcEndpointServesEveryRunAndLeavesWhatIsNotItsOwn)
{
    const std::string file = dir_ + "/precious", live = dir_ + "/live", open = dir_ + "/open", link = dir_ + "/link";
    std::ofstream(file) << "keep";
    ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);  // past the umask
    ASSERT_EQ(symlink(dir_.c_str(), link.c_str()), 0);
    Socket listening(ZMQ_REP);
    struct stat bound, now;
    ASSERT_EQ(zmq_bind(listening.socket, ("ipc://" + live).c_str()), 0);
    ASSERT_EQ(lstat(live.c_str(), &bound), 0);
    const std::pair<std::string, std::string> refused[] = {
        {file, VESK_SAYS_PATH_TAKEN},
        {live, VESK_SAYS_PATH_TAKEN},
        {open + "/data", VESK_SAYS_FOLDER_NOT_SAFE + open},  // writable by others, not sticky
        {link + "/precious", VESK_SAYS_FOLDER_NOT_SAFE + link},
    };
    for (const auto &[path, why] : refused)
        expect_said({"VESK_DEVICE_ENDPOINT=ipc://" + path}, VESK_SAYS_NO_OUTPUT "ipc://" + path + ": " + why);
    EXPECT_EQ(contents(file), "keep");
    EXPECT_TRUE(lstat(live.c_str(), &now) == 0 && now.st_ino == bound.st_ino) << "the live socket is gone";

    const std::string sticky = dir_ + "/sticky", ours = sticky + "/data";
    ASSERT_EQ(mkdir(sticky.c_str(), 0), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Subscriber subscriber("ipc://" + ours);
        Trace t = trace("run" + std::to_string(run));
        Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + subscriber.endpoint}));
        ASSERT_GE(subscriber.next(), 0) << contents(dir_ + "/stderr");
        if (run == 1)
            server.kill();  // reaped as it leaves this scope, its socket file left behind
        else
            quit(server, t);
    }
    EXPECT_NE(lstat(ours.c_str(), &now), 0) << "the socket file was left behind";
}

class DeviceAsRoot : public Device {};

// A folder of another user's on the way to an ipc:// path is refused whatever its mode.
TEST_F(DeviceAsRoot, IpcPathThroughAnotherUsersFolderIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder to another user";
    const std::string theirs = dir_ + "/theirs";
    ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    const std::string data = "ipc://" + theirs + "/data", why = VESK_SAYS_FOLDER_NOT_SAFE + theirs;
    expect_said({"VESK_DEVICE_ENDPOINT=" + data}, VESK_SAYS_NO_OUTPUT + data + ": " + why);
}

// Nothing the stand-in writes or opens, nor a limit it meets, holds up or ends the run.
TEST_F(Device, NoFifoFullDiskOrLimitHoldsUpTheRun)
{
    const std::string fifo = dir_ + "/fifo", kept = dir_ + "/kept", link = dir_ + "/link";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(kept) << "keep";
    ASSERT_EQ(symlink(kept.c_str(), link.c_str()), 0);
    struct {
        const char *what;
        std::vector<std::string> env, limit;  // prlimit arguments; none: the log is given lines
        std::string said;
    } cases[] = {
        {"log to a FIFO nobody reads", {"VESK_DEVICE_LOG=" + fifo}, {}, "it " VESK_SAYS_FIFO},
        {"log to a full disk", {"VESK_DEVICE_LOG=/dev/full", "VESK_DEVICE_DROP_EVERY=2"}, {},
         VESK_SAYS_LOG_LINES " " VESK_SAYS_NOT_WRITTEN "No space left on device"},
        {"few descriptors", {}, {"--nofile=8"}, VESK_SAYS_FEW_DESCRIPTORS},
        {"log through a symbolic link", {"VESK_DEVICE_LOG=" + link}, {}, "it " VESK_SAYS_SYMLINK},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        Subscriber subscriber;
        c.env.push_back("VESK_DEVICE_ENDPOINT=" + subscriber.endpoint);
        expect_said(c.env, c.said, c.limit, c.limit.empty() ? &subscriber : nullptr);
    }
    // A trace that cannot be opened is simply off.
    for (const auto &[path, why] : {std::pair(fifo, VESK_SAYS_FIFO), std::pair(link, VESK_SAYS_SYMLINK)}) {
        Child untraced(std::vector<std::string>{target().server}, device_options({"VESK_DEVICE_TRACE=" + path}));
        untraced.send("q\n");
        EXPECT_EQ(untraced.wait(), 0);
        EXPECT_EQ(untraced.output(), output_of({VESK_START_LINE, VESK_CLOSED_LINE}));
        EXPECT_NE(contents(dir_ + "/stderr").find(VESK_SAYS_NO_TRACE + path + " " + why), std::string::npos);
    }
    EXPECT_EQ(contents(kept), "keep") << "written through the link";
}

class DeviceUnsanitized : public Device {};

// An address space too small for the device's thread costs the stream, not the run.
TEST_F(DeviceUnsanitized, SmallAddressSpaceCostsTheStreamNotTheRun)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the 32 MiB limit";
#endif
    expect_said({"VESK_DEVICE_ENDPOINT=" + free_endpoint()}, VESK_SAYS_NO_THREAD, {"--as=33554432"});
}

// Each whole line of a CSV output by its sequence number, with its first 10 columns only.
static std::map<uint64_t, std::string> lines_by_sequence(const std::string &csv)
{
    std::map<uint64_t, std::string> lines;
    const std::regex line("^([0-9]+(,[^,\n]*){9})[^\n]*\n", std::regex::multiline);
    for (std::sregex_iterator at(csv.begin(), csv.end(), line), end; at != end; ++at)
        lines[std::stoull(at->str(1))] = at->str(1);
    return lines;
}

// On a device losing every 5th packet the example prints each as the listener does, and its gaps.
TEST_F(Device, PythonExamplePrintsWhatTheListenerSees)
{
    const std::string endpoint = free_endpoint();
    ChildOptions to_file;
    to_file.stderr_path = dir_ + "/counts";
    Child listener({target().listener, "--csv", endpoint}, to_file);
    to_file.stderr_path = dir_ + "/losses";
    Child example({"/usr/bin/python3", VESK_EXAMPLE, endpoint}, to_file);  // Debian's, for its python3-zmq
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_RATE=1000",
                                            "VESK_DEVICE_DROP_EVERY=5"}));
    std::map<uint64_t, std::string> printed, seen;
    ASSERT_TRUE(eventually([&] {  // a second of the stream that both printed
        printed = lines_by_sequence(example.output());
        seen = lines_by_sequence(listener.output());
        size_t both = 0;
        for (const auto &line : printed)
            both += seen.count(line.first);
        return both > 800;
    })) << contents(dir_ + "/losses");
    quit(server, t);

    const std::string losses = contents(dir_ + "/losses");  // every 5th: one at a time
    size_t both = 0;
    for (const auto &[sequence, line] : printed) {
        // A loss is told after a packet: from each one's second packet on.
        if (seen.count(sequence) == 0 || sequence == printed.begin()->first || sequence == seen.begin()->first)
            continue;
        EXPECT_EQ(line, seen.at(sequence));
        const bool told = losses.find("lost " + std::to_string(sequence - 1) + "\n") != std::string::npos;
        EXPECT_EQ(seen.count(sequence - 1) == 0, told) << sequence - 1;  // a gap
        ++both;
    }
    EXPECT_GT(both, 790u);
    EXPECT_GT(count_of(losses, "lost "), 150u) << losses;
}
