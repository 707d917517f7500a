// The stand-in's simulated device as a consumer of its data sees it, while the real server
// holds it open: natively, and under Wine with a native subscriber.
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>
#include <zmq.h>

#include "support/run.h"

namespace {

struct Subscriber {
    explicit Subscriber(const std::string &endpoint)
    {
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0);
        zmq_connect(socket, endpoint.c_str());
    }
    ~Subscriber()
    {
        zmq_close(socket);
        zmq_ctx_term(context);
    }
    // The next packet's sequence number, or -1 if none came within `ms` milliseconds.
    int64_t next(long ms, size_t *size = nullptr)
    {
        zmq_pollitem_t item = {socket, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, ms) <= 0)
            return -1;
        unsigned char message[256];
        int n = zmq_recv(socket, message, sizeof message, 0);
        if (size != nullptr)
            *size = static_cast<size_t>(n);
        uint64_t sequence = 0;
        for (int i = 7; i >= 0; --i)
            sequence = sequence << 8 | message[i];
        return static_cast<int64_t>(sequence);
    }

    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_SUB);
};

// A TCP socket listening on a free loopback port; `endpoint` gets that port's address.
int listen_on_loopback(std::string *endpoint)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(s, 1) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("no loopback port");
    *endpoint = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    return s;
}

// A TCP endpoint on loopback that nothing listens on: Windows has no ipc transport.
std::string free_endpoint()
{
    std::string endpoint;
    close(listen_on_loopback(&endpoint));
    return endpoint;
}

int threads_of(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

}  // namespace

class Device : public ServerTest {
protected:
    ChildOptions device_options(std::vector<std::string> env)
    {
        ChildOptions options;
        env.push_back("VESK_DEVICE_LOG=" + target().native_path(dir_ + "/lost.log"));
        options.env = env;
        options.stderr_path = dir_ + "/stderr";
        return options;
    }
};

// Every 10th packet is lost on the link: the subscriber sees exactly those gaps in rising
// sequence numbers, and the library logs each one it found.
TEST_F(Device, PublishesRisingSequenceAndLogsEveryGap)
{
    const std::string endpoint = free_endpoint();
    Subscriber subscriber(endpoint);
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_RATE=2000",
                                            "VESK_DEVICE_DROP_EVERY=10"}));

    std::vector<int64_t> seen;
    size_t size = 0;
    while (seen.size() < 300) {
        int64_t sequence = subscriber.next(kPatience.count() * 1000, &size);
        ASSERT_GE(sequence, 0) << "no packet after " << seen.size();
        EXPECT_EQ(size, 48u);
        seen.push_back(sequence);
    }
    std::vector<int64_t> gaps;
    for (size_t i = 1; i < seen.size(); ++i) {
        ASSERT_GT(seen[i], seen[i - 1]);
        for (int64_t missing = seen[i - 1] + 1; missing < seen[i]; ++missing)
            gaps.push_back(missing);
    }
    for (int64_t missing : gaps)
        EXPECT_EQ(missing % 10, 9) << missing << " was lost without being dropped";
    EXPECT_GE(gaps.size(), 25u);

    const std::string log_path = dir_ + "/lost.log";
    const std::string last = " lost " + std::to_string(gaps.back()) + "\n";
    ASSERT_TRUE(eventually([&] { return contents(log_path).find(last) != std::string::npos; }));
    std::string log = contents(log_path);
    for (int64_t missing : gaps)
        EXPECT_NE(log.find("Z lost " + std::to_string(missing) + "\n"), std::string::npos) << missing;
    quit(server, t);
}

// After the q the library's threads are gone while the server still waits for its trailing
// character, and the subscriber then falls silent.
TEST_F(Device, PublishesNothingOnceClosedAndEndsPromptly)
{
    const std::string endpoint = free_endpoint();
    Subscriber subscriber(endpoint);
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_RATE=2000"}));
    ASSERT_GE(subscriber.next(kPatience.count() * 1000), 0);

    server.send("q");
    ASSERT_TRUE(t.shows("CloseVeskDevice"));
    // Wine's own threads share the process, so only the Linux build can be counted.
    if (target().launcher.empty()) {
        ASSERT_TRUE(eventually([&] { return threads_of(server.pid()) == 1; })) << "a library thread lingers";
    }
    while (subscriber.next(200) >= 0) {
    }
    EXPECT_TRUE(server.running());
    EXPECT_EQ(subscriber.next(500), -1) << "published after the device was closed";

    server.send("\n");
    expect_orderly_end(server, t);
}

// An endpoint taken by another program, or one that makes no sense, costs the data output
// and nothing else.
TEST_F(Device, EndpointThatCannotBeBoundLeavesTheRunIntact)
{
    std::string in_use;
    int taken = listen_on_loopback(&in_use);

    const std::string endpoints[] = {in_use, "no-such-transport://x"};
    for (const std::string &endpoint : endpoints) {
        SCOPED_TRACE(endpoint);
        Trace t = trace("t" + std::to_string(&endpoint - endpoints));
        Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint}));
        ASSERT_TRUE(t.shows("SetConfig_Bool bLogPackLost true"));
        quit(server, t);
        std::string errors = contents(dir_ + "/stderr");
        EXPECT_NE(errors.find("no data output: cannot publish on " + endpoint), std::string::npos) << errors;
    }
    close(taken);
}

TEST_F(Device, ListenerCountsWhatArrives)
{
    const std::string endpoint = free_endpoint();
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_RATE=1000",
                                            "VESK_DEVICE_DROP_EVERY=4"}));
    std::vector<std::string> argv = target().launcher;
    argv.insert(argv.end(), {target().listener, endpoint});
    Child listener(argv);
    ASSERT_TRUE(eventually([&] {
        std::istringstream lines(listener.output());
        unsigned long received = 0, lost = 0;
        for (std::string line; std::getline(lines, line);)
            if (std::sscanf(line.c_str(), "received %lu lost %lu", &received, &lost) == 2 && received > 10 &&
                lost > 0 && lost <= received)
                return true;
        return false;
    })) << listener.output();
    quit(server, t);
}

// Lost-packet lines on a standard error that nobody drains are dropped, not waited for, so
// the stream goes on and q still ends the run.
TEST_F(Device, LogThatNobodyDrainsHoldsUpNeitherTheStreamNorTheClose)
{
    const std::string endpoint = free_endpoint();
    Subscriber subscriber(endpoint);
    ChildOptions options;
    options.stderr_undrained = true;
    options.env = {"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_RATE=100000", "VESK_DEVICE_DROP_EVERY=2"};
    Trace t = trace("t");
    Child server = start(t, options);
    // Half of the pipe's 64 KiB: where the log stops taking lines differs between platforms.
    ASSERT_TRUE(eventually([&] { return server.undrained_errors() >= 32 * 1024; })) << "the log never filled the pipe";

    // A device thread held up by the log would be stuck long before 20000 more packets.
    int64_t first = subscriber.next(kPatience.count() * 1000), last = first;
    while (last >= 0 && last < first + 20000)
        last = subscriber.next(kPatience.count() * 1000);
    ASSERT_GE(last, 0) << "the stream stopped once the log was full";
    quit(server, t);
}
