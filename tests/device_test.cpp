// The stand-in's simulated device as a consumer of its data sees it, while the real server
// holds it open: natively, and under Wine with a native subscriber.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <zmq.h>
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "vesk/message.h"
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
    // The next message as a packet, or false if none came within `ms` milliseconds.
    bool receive(long ms, vesk_packet *packet, size_t *size = nullptr)
    {
        zmq_pollitem_t item = {socket, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, ms) <= 0)
            return false;
        unsigned char message[256] = {};
        int n = zmq_recv(socket, message, sizeof message, 0);
        if (size != nullptr)
            *size = static_cast<size_t>(n);
        *packet = vesk_decode(message);
        return true;
    }
    // The next packet's sequence number, or -1 if none came within `ms` milliseconds.
    int64_t next(long ms)
    {
        vesk_packet packet;
        return receive(ms, &packet) ? static_cast<int64_t>(packet.sequence) : -1;
    }

    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_SUB);
};

// A ZMQ socket bound to a free loopback port, which it holds; `endpoint` gets its address.
struct TakenPort {
    explicit TakenPort(std::string *endpoint)
    {
        char bound[256];
        size_t size = sizeof bound;
        if (zmq_bind(socket, "tcp://127.0.0.1:*") != 0 || zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, bound, &size) != 0)
            throw std::runtime_error("no loopback port");
        *endpoint = bound;
    }
    ~TakenPort()
    {
        int no_linger = 0;
        zmq_setsockopt(socket, ZMQ_LINGER, &no_linger, sizeof no_linger);
        zmq_close(socket);
        zmq_ctx_term(context);
    }

    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_REP);
};

// A TCP endpoint on loopback that nothing listens on: Windows has no ipc transport.
std::string free_endpoint()
{
    std::string endpoint;
    TakenPort{&endpoint};
    return endpoint;
}

}  // namespace

class Device : public ServerTest {
protected:
    ChildOptions device_options(std::vector<std::string> env)
    {
        ChildOptions options;
        env.insert(env.begin(), "VESK_DEVICE_LOG=" + dir_ + "/lost.log");  // unless given
        options.env = env;
        options.stderr_path = dir_ + "/stderr";
        return options;
    }
};

// Every 10th packet is lost on the link: the subscriber sees exactly those gaps in rising
// sequence numbers, and the library logs each one it found. Each packet is stamped with the
// moment it was due on the device's schedule, so stamps are exactly a period (0.5 ms) apart for
// each step of the sequence, and channel 0 carries a 1 Hz sine and a little noise.
TEST_F(Device, PublishesRisingSequenceOnScheduleAndLogsEveryGap)
{
    const std::string endpoint = free_endpoint();
    Subscriber subscriber(endpoint);
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_RATE=2000",
                                            "VESK_DEVICE_DROP_EVERY=10"}));

    std::vector<vesk_packet> seen;
    size_t size = 0;
    while (seen.size() < 300) {
        vesk_packet packet;
        ASSERT_TRUE(subscriber.receive(kPatience.count() * 1000, &packet, &size)) << "no packet after " << seen.size();
        EXPECT_EQ(size, VESK_MESSAGE_SIZE);
        seen.push_back(packet);
    }
    const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    EXPECT_LT(std::llabs(now_ns - static_cast<int64_t>(seen.back().time_ns)), 60LL * 1000000000) << "stamp not near now";
    std::vector<int64_t> gaps;
    for (size_t i = 0; i < seen.size(); ++i) {
        const vesk_packet &p = seen[i];
        for (float sample : p.samples)
            ASSERT_LE(std::fabs(sample), 1.05f) << "packet " << p.sequence;
        EXPECT_NEAR(p.samples[0], std::sin(2 * M_PI * static_cast<double>(p.sequence) / 2000), 0.051) << p.sequence;
        if (i == 0)
            continue;
        ASSERT_GT(p.sequence, seen[i - 1].sequence);
        EXPECT_EQ(p.time_ns - seen[i - 1].time_ns, (p.sequence - seen[i - 1].sequence) * 500000) << p.sequence;
        for (uint64_t missing = seen[i - 1].sequence + 1; missing < p.sequence; ++missing)
            gaps.push_back(static_cast<int64_t>(missing));
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
    // The log file and standard error (a file here) took every line: no loss is reported.
    const std::string errors = contents(dir_ + "/stderr");
    EXPECT_EQ(errors.find("dropped"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("could not be written"), std::string::npos) << errors;
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
    // Windows itself puts threads of its own into a process, so only the Linux build can be counted.
    if (!kWindows) {
        ASSERT_TRUE(eventually([&] { return thread_count(server.pid()) == 1; })) << "a library thread lingers";
    }
    while (subscriber.next(200) >= 0) {
    }
    EXPECT_TRUE(server.running());
    EXPECT_EQ(subscriber.next(500), -1) << "published after the device was closed";

    server.send("\n");
    expect_orderly_end(server, t);
}

// An endpoint taken by another program, or one that makes no sense, costs the data output
// and nothing else. libzmq would remove whatever stands at an ipc:// path, another program's
// live socket included, and take a port modulo 65536: both are refused, and the path is left alone.
TEST_F(Device, EndpointThatCannotBeBoundLeavesTheRunIntact)
{
    std::string in_use;
    TakenPort taken(&in_use);
    const std::string file = dir_ + "/precious", live = dir_ + "/live";
    std::ofstream(std::filesystem::u8path(file)) << "keep";

    const std::string bad_port = "the port is not one from 1 to 65535, nor *";
    std::vector<std::pair<std::string, std::string>> endpoints = {
        {in_use, ""}, {"no-such-transport://x", ""}, {"tcp://127.0.0.1:99999", bad_port},
        {"tcp://127.0.0.1:+70080", bad_port}, {"tcp://127.0.0.1:70081x", bad_port}};
#ifndef _WIN32  // Windows has no ipc transport
    // Another program's live socket, which libzmq would unlink and bind anew.
    int listening = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    live.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listening, 1), 0);
    endpoints.push_back({"ipc://" + file, "something is there already"});
    endpoints.push_back({"ipc://" + live, "something is there already"});
#endif
    for (const auto &[endpoint, why] : endpoints) {
        SCOPED_TRACE(endpoint);
        Trace t = trace("t" + std::to_string(&endpoint - &endpoints[0].first));
        Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint}));
        ASSERT_TRUE(t.started());
        quit(server, t);
        std::string errors = contents(dir_ + "/stderr");
        EXPECT_NE(errors.find("no data output: cannot publish on " + endpoint + ": " + why), std::string::npos)
            << errors;
    }
    EXPECT_EQ(contents(file), "keep");
#ifndef _WIN32
    int client = socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << "the live socket is gone";
    close(client);
    close(listening);
#endif
}

// Nothing the stand-in writes or opens can hold up the run, nor can the limits it meets end the
// process: each case ends in order at q, and says on standard error what it went without.
TEST_F(Device, NothingItCannotWriteOrHaveHoldsUpTheRun)
{
    ChildOptions full;  // its line at load must not wait for a standard error nobody drains
    full.stderr_full = true;
    Trace t = trace("full");
    Child server = start(t, full);
    quit(server, t);

#ifndef _WIN32  // FIFOs, /dev/full and resource limits are the Linux build's
    struct Case {
        const char *what;
        std::vector<std::string> env;
        std::vector<std::string> limit;  // prlimit arguments
        const char *said;
    };
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<Case> cases = {
        {"log to a FIFO nobody reads", {"VESK_DEVICE_LOG=" + fifo}, {}, "it is a FIFO that nobody reads"},
        {"log to a full disk", {"VESK_DEVICE_LOG=/dev/full", "VESK_DEVICE_DROP_EVERY=2"}, {},
         "lost-packet log lines could not be written: No space left on device"},
        {"few descriptors", {}, {"--nofile=8"}, "too few file descriptors"},
    };
    // The sanitizers reserve far more address space than this.
    if (std::getenv("ASAN_OPTIONS") == nullptr)
        cases.push_back({"small address space", {}, {"--as=33554432"}, "no thread can be made"});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Trace t = trace(std::string("t-") + c.what);
        std::vector<std::string> args = c.limit;
        std::string program;
        if (!args.empty()) {
            program = "prlimit";
            args.push_back(target().server);
        }
        const std::string endpoint = free_endpoint();
        Subscriber subscriber(endpoint);
        std::vector<std::string> env = c.env;
        env.push_back("VESK_DEVICE_ENDPOINT=" + endpoint);
        Child server = start(t, device_options(env), args, program);
        ASSERT_TRUE(t.started());
        if (c.limit.empty()) {  // by packet 10 the log has been given lines
            int64_t sequence = -1;
            while (sequence < 10)
                ASSERT_GE(sequence = subscriber.next(kPatience.count() * 1000), 0) << "no stream";
        }
        quit(server, t);
        EXPECT_NE(contents(dir_ + "/stderr").find(c.said), std::string::npos) << contents(dir_ + "/stderr");
    }

    // A trace that cannot be opened is simply off.
    ChildOptions options = device_options({});
    options.env.push_back("VESK_DEVICE_TRACE=" + fifo);
    Child untraced(std::vector<std::string>{target().server}, options);
    untraced.send("q\n");
    EXPECT_EQ(untraced.wait(), 0);
    EXPECT_EQ(untraced.output(), output_of({"VeskServer Start!", "VeskServer Closed!"}));
    EXPECT_NE(contents(dir_ + "/stderr").find("no call trace: " + fifo), std::string::npos);
#endif
}

// vesk-listen --csv: every packet decoded on standard output, the counts on standard error,
// which say when no publisher has been heard from yet, count what is not a packet apart, and
// start afresh when a device restarts.
TEST_F(Device, ListenerShowsThePacketsAndCountsThem)
{
    const std::string endpoint = free_endpoint();
    std::vector<std::string> argv = {target().listener, "--csv", endpoint};
    ChildOptions counts_to_file;
    counts_to_file.stderr_path = dir_ + "/counts";
    Child listener(argv, counts_to_file);
    auto counted = [&](const std::string &what) {
        return eventually([&] {
            listener.output();  // drained, so that the packets it writes never hold it up
            return contents(dir_ + "/counts").find(what) != std::string::npos;
        });
    };
    ASSERT_TRUE(counted("no publisher heard from yet on " + endpoint)) << contents(dir_ + "/counts");

    // A publisher of our own, which sends once the listener has subscribed: a message that is
    // not one 48-byte part is counted apart, once, and so are a duplicate and a wild number in
    // the sequence; only a sequence that goes back and goes on from there is a restart.
    {
        void *context = zmq_ctx_new(), *publisher = zmq_socket(context, ZMQ_XPUB);
        ASSERT_EQ(zmq_bind(publisher, endpoint.c_str()), 0);
        zmq_pollitem_t subscribed = {publisher, 0, ZMQ_POLLIN, 0};
        ASSERT_EQ(zmq_poll(&subscribed, 1, kPatience.count() * 1000), 1) << "the listener never subscribed";
        zmq_send(publisher, "not a packet", 12, 0);
        zmq_send(publisher, "two", 3, ZMQ_SNDMORE);
        zmq_send(publisher, "parts", 5, 0);
        for (uint64_t sequence : {uint64_t{10}, uint64_t{11}, uint64_t{11}, uint64_t{1} << 63, uint64_t{12},
                                  uint64_t{13}, uint64_t{5}, uint64_t{6}}) {
            vesk_packet packet = {sequence, 0, {sequence == 12 ? 1e-45f : 0.0f}};
            unsigned char message[VESK_MESSAGE_SIZE];
            vesk_encode(&packet, message);
            zmq_send(publisher, message, sizeof message, 0);
        }
        EXPECT_TRUE(counted("received 2  lost 0  last 6  out of sequence 2  not packets 2"))
            << contents(dir_ + "/counts");
        EXPECT_TRUE(counted("went back from 13 to 5")) << contents(dir_ + "/counts");
        const std::string &csv = listener.output();
        const size_t twelve = csv.find("\n12,0,");
        ASSERT_NE(twelve, std::string::npos) << csv;
        EXPECT_EQ(std::strtof(csv.c_str() + twelve + 6, nullptr), 1e-45f) << "a sample printed with loss";
        int no_linger = 0;
        zmq_setsockopt(publisher, ZMQ_LINGER, &no_linger, sizeof no_linger);
        zmq_close(publisher);
        zmq_ctx_term(context);
    }

    const std::vector<std::string> env = {"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_RATE=1000",
                                          "VESK_DEVICE_DROP_EVERY=4"};
    Trace t = trace("t");
    Child server = start(t, device_options(env));
    ASSERT_TRUE(eventually([&] {
        listener.output();
        std::istringstream lines(contents(dir_ + "/counts"));
        unsigned long received = 0, lost = 0;
        for (std::string line; std::getline(lines, line);)
            if (std::sscanf(line.c_str(), "received %lu lost %lu", &received, &lost) == 2 && received > 10 &&
                lost > 0 && lost <= received)
                return true;
        return false;
    })) << contents(dir_ + "/counts");
    std::istringstream csv(listener.output());
    std::string header, line, last;
    std::getline(csv, header);
    EXPECT_EQ(header.rfind("sequence,time_ns,channel0,channel1,", 0), 0u) << header;
    while (std::getline(csv, line))  // the last whole line is the server's
        if (!csv.eof())
            last = line;
    unsigned long long sequence = 0, time_ns = 0;
    float samples[8];
    EXPECT_EQ(std::sscanf(last.c_str(), "%llu,%llu,%f,%f,%f,%f,%f,%f,%f,%f", &sequence, &time_ns, &samples[0],
                          &samples[1], &samples[2], &samples[3], &samples[4], &samples[5], &samples[6], &samples[7]),
              10)
        << last;
    EXPECT_GT(time_ns, 0u);
    quit(server, t);

    auto restarts = [&] { return count_of(contents(dir_ + "/counts"), "the device restarted"); };
    const size_t before = restarts();
    Trace again = trace("again");
    Child restarted = start(again, device_options(env));
    EXPECT_TRUE(eventually([&] {
        listener.output();
        return restarts() > before;
    })) << contents(dir_ + "/counts");
    quit(restarted, again);

    // A listener whose output nobody reads any more ends.
    ChildOptions closed_output = counts_to_file;
    closed_output.stdout_closed = true;
    Child closed(argv, closed_output);
    EXPECT_NE(closed.wait(), -1) << "it wrote on into a closed output";
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
