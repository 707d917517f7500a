// The stand-in's simulated device as a consumer of its data sees it, while the real server
// holds it open: natively, and under Wine with a native subscriber.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "listen.h"
#include "support/device.h"
#include "vesk/waveform.h"

namespace {

// The next `count` packets, or as many as came each within kPatience.
std::vector<vesk_packet> receive_packets(Subscriber &subscriber, size_t count)
{
    std::vector<vesk_packet> seen;
    vesk_packet packet;
    size_t size = 0;
    while (seen.size() < count && subscriber.receive(kPatience.count() * 1000, &packet, &size)) {
        EXPECT_EQ(size, VESK_MESSAGE_SIZE);
        seen.push_back(packet);
    }
    return seen;
}

// The sequence numbers missing between the packets seen, each of which rises.
std::vector<uint64_t> gaps_in(const std::vector<vesk_packet> &seen)
{
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GT(seen[i].sequence, seen[i - 1].sequence);
        for (uint64_t missing = seen[i - 1].sequence + 1; missing < seen[i].sequence; ++missing)
            gaps.push_back(missing);
    }
    return gaps;
}

}  // namespace

// Every 10th packet is lost on the link: the subscriber sees exactly those gaps in rising
// sequence numbers, and the library logs each one it found. Each packet is stamped with the
// moment it was due on the device's schedule, its start plus vesk_due_ns of the sequence
// number, to the nanosecond at a rate that does not divide a second; channel 0 carries a 1 Hz
// sine and a little noise.
TEST_F(Device, PublishesRisingSequenceOnScheduleAndLogsEveryGap)
{
    const long rate = 66667;
    const std::string endpoint = free_endpoint();
    Subscriber subscriber(endpoint);
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint,
                                            "VESK_DEVICE_RATE=" + std::to_string(rate), "VESK_DEVICE_DROP_EVERY=10"}));
    const std::vector<vesk_packet> seen = receive_packets(subscriber, 300);
    ASSERT_EQ(seen.size(), 300u);
    const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    EXPECT_LT(std::llabs(now_ns - static_cast<int64_t>(seen.back().time_ns)), 60LL * 1000000000) << "not near now";
    const uint64_t start_ns = seen[0].time_ns - vesk_due_ns(seen[0].sequence, rate);
    for (const vesk_packet &p : seen) {
        for (float sample : p.samples)
            ASSERT_LE(std::fabs(sample), 1.05f) << "packet " << p.sequence;
        EXPECT_NEAR(p.samples[0], std::sin(2 * M_PI * static_cast<double>(p.sequence) / rate), 0.051) << p.sequence;
        EXPECT_EQ(p.time_ns, start_ns + vesk_due_ns(p.sequence, rate)) << p.sequence;
    }
    const std::vector<uint64_t> gaps = gaps_in(seen);
    for (uint64_t missing : gaps)
        EXPECT_EQ(missing % 10, 9u) << missing << " was lost without being dropped";
    ASSERT_GE(gaps.size(), 25u);

    const std::string log_path = dir_ + "/lost.log";
    const std::string last = VESK_SAYS_LOST + std::to_string(gaps.back()) + "\n";
    ASSERT_TRUE(eventually([&] { return contents(log_path).find(last) != std::string::npos; }));
    const std::string log = contents(log_path);
    for (uint64_t missing : gaps)
        EXPECT_NE(log.find(VESK_SAYS_LOST + std::to_string(missing) + "\n"), std::string::npos) << missing;
    quit(server, t);
    // The log file and standard error (a file here) took every line: no loss is reported.
    const std::string errors = contents(dir_ + "/stderr");
    EXPECT_EQ(errors.find(VESK_SAYS_DROPPED), std::string::npos) << errors;
    EXPECT_EQ(errors.find(VESK_SAYS_NOT_WRITTEN), std::string::npos) << errors;
}

// A port asked as * is chosen at the bind: standard error says the endpoint bound, and a
// subscriber to it receives packets.
TEST_F(Device, WildcardPortIsSaidAndServes)
{
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=tcp://127.0.0.1:*"}));
    std::string endpoint;
    ASSERT_TRUE(eventually([&] {
        const std::string errors = contents(dir_ + "/stderr");
        const size_t at = errors.find(VESK_SAYS_BOUND), end = errors.find_first_of("\r\n", at);
        if (end == std::string::npos)
            return false;
        endpoint = errors.substr(at + std::strlen(VESK_SAYS_BOUND), end - at - std::strlen(VESK_SAYS_BOUND));
        return true;
    })) << contents(dir_ + "/stderr");
    EXPECT_EQ(endpoint.rfind("tcp://127.0.0.1:", 0), 0u) << endpoint;
    Subscriber subscriber(endpoint);
    EXPECT_GE(subscriber.next(kPatience.count() * 1000), 0) << "nothing on " << endpoint;
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
    ASSERT_TRUE(t.wait_for_line(VESK_TRACE_CLOSE));
    while (subscriber.next(200) >= 0) {
    }
    EXPECT_TRUE(server.running());
    EXPECT_EQ(subscriber.next(500), -1) << "published after the device was closed";

    server.send("\n");
    expect_orderly_end(server, t);
}

// An endpoint taken by another program, or one that makes no sense, costs the data output
// and nothing else. libzmq would take a port modulo 65536: that is refused, as ipc:// on Windows.
TEST_F(Device, EndpointThatCannotBeBoundLeavesTheRunIntact)
{
    std::string in_use;
    TakenPort taken(&in_use);
    const std::string bad_port = VESK_SAYS_BAD_PORT;
    std::vector<std::pair<std::string, std::string>> endpoints = {
        {in_use, ""}, {"no-such-transport://x", ""}, {"tcp://127.0.0.1:99999", bad_port},
        {"tcp://127.0.0.1:+70080", bad_port}, {"tcp://127.0.0.1:70081x", bad_port}};
    if (kWindows)
        endpoints.push_back({"ipc://" + dir_ + "/socket", VESK_SAYS_NO_IPC});
    for (const auto &[endpoint, why] : endpoints) {
        SCOPED_TRACE(endpoint);
        expect_no_data_output(endpoint, why, "t" + std::to_string(&endpoint - &endpoints[0].first));
    }
}

// What a SUB says over ZMTP 3.0 after the greeting, made by hand: a SUB of libzmq's own would
// keep a subscription of megabytes in a trie that it walks recursively, and overflow its stack.
// READY, `count` subscriptions of `size` bytes that share no tail, and at last one to
// everything, so that a server that kept them all streams to it.
static std::string zmtp_subscriptions(int count, size_t size)
{
    std::string zmtp("\x04\x19\x05READY\x0bSocket-Type\0\0\0\x03SUB", 27);
    auto frame = [&zmtp](const std::string &body) {
        zmtp += body.size() < 256 ? '\0' : '\x02';  // short or long
        for (int shift = body.size() < 256 ? 0 : 56; shift >= 0; shift -= 8)
            zmtp += static_cast<char>(body.size() >> shift & 0xff);
        zmtp += body;
    };
    for (int i = 0; i < count; ++i) {
        std::string topic = std::to_string(i);
        frame('\x01' + topic + std::string(size - std::min(size, topic.size()), 'x'));
    }
    frame("\x01");
    return zmtp;
}

// Whether the server drops a peer that greets it and then says `zmtp`, rather than stream to it.
static bool drops_peer(const std::string &endpoint, const std::string &zmtp)
{
    void *context = zmq_ctx_new(), *peer = zmq_socket(context, ZMQ_STREAM);
    zmq_connect(peer, endpoint.c_str());
    std::string id(256, '\0'), greeting(64, '\0');  // version 3.0, no security
    greeting[0] = '\xff';
    greeting[9] = '\x7f';
    greeting[10] = 3;
    greeting.replace(12, 4, "NULL");
    size_t from_server = 0;
    int last = -1;
    auto receive = [&] {  // a routing id, then what came, or nothing for a (dis)connection
        zmq_pollitem_t item = {peer, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, kPatience.count() * 1000) <= 0)
            return false;
        id.resize(static_cast<size_t>(zmq_recv(peer, id.data(), 256, 0)));
        char data[4096];
        last = zmq_recv(peer, data, sizeof data, 0);
        from_server += static_cast<size_t>(std::max(last, 0));
        return from_server == 0 || last != 0;  // still connected
    };
    auto send = [&](const std::string &out) {
        zmq_send(peer, id.data(), id.size(), ZMQ_SNDMORE);
        zmq_send(peer, out.data(), out.size(), 0);
    };
    // The server's greeting and READY are 91 bytes, and a packet takes it past 100. libzmq 4.3.4
    // fails a handshake whose greeting comes in one read with what follows it.
    bool connected = receive();
    send(greeting);
    while (connected && from_server < 91)
        connected = receive();
    send(zmtp);
    while (connected && from_server < 100 + VESK_MESSAGE_SIZE)
        connected = receive();
    const bool dropped = from_server >= 91 && last == 0;
    int no_linger = 0;
    zmq_setsockopt(peer, ZMQ_LINGER, &no_linger, sizeof no_linger);
    zmq_close(peer);
    zmq_ctx_term(context);
    return dropped;
}

// A subscriber that subscribes to megabytes, or to thousands of topics, is dropped before the
// server holds them: the server's memory stays near where it was, and the stream goes on.
TEST_F(Device, HugeSubscriptionCostsTheServerNothing)
{
    const struct {
        int count;
        size_t size;
        long most_growth_kb;
    } rows[] = {
        {1, 8 << 20, 4 * 1024},   // past the cap on a message
        {20000, 240, 32 * 1024},  // each past that cap too
        {1000, 16, 32 * 1024},    // past the subscriptions kept at once
    };
    const std::string endpoint = free_endpoint();
    Subscriber subscriber(endpoint);
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint}));
    ASSERT_GE(subscriber.next(kPatience.count() * 1000), 0);
    for (const auto &row : rows) {
        const long before = resident_kb(server.pid());
        ASSERT_GT(before, 0);
        EXPECT_TRUE(drops_peer(endpoint, zmtp_subscriptions(row.count, row.size))) << row.count << " taken";
        EXPECT_LT(resident_kb(server.pid()) - before, row.most_growth_kb) << row.count << ", from " << before << " kB";
        EXPECT_GE(subscriber.next(kPatience.count() * 1000), 0) << "the stream stopped after " << row.count;
    }
    quit(server, t);
}

// A standard error that nobody drains, and that is full from the start, holds up neither the
// stand-in's line at load nor the run.
TEST_F(Device, NothingItCannotWriteOrHaveHoldsUpTheRun)
{
    ChildOptions full;
    full.stderr_full = true;
    Trace t = trace("full");
    Child server = start(t, full);
    quit(server, t);
}

namespace {

// A publisher of our own, told of every subscription (a new connection's may come before the
// old one's is gone); closing, it gives what it queued up to kPatience to go out.
struct OwnPublisher {
    OwnPublisher()
    {
        int verbose = 1, linger = static_cast<int>(kPatience.count() * 1000);
        zmq_setsockopt(socket, ZMQ_XPUB_VERBOSE, &verbose, sizeof verbose);
        zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    }
    ~OwnPublisher()
    {
        zmq_close(socket);
        zmq_ctx_term(context);
    }
    bool subscribed()  // an unsubscription comes too when the listener left
    {
        zmq_pollitem_t item = {socket, 0, ZMQ_POLLIN, 0};
        char message[8] = {};
        while (zmq_poll(&item, 1, kPatience.count() * 1000) == 1 && zmq_recv(socket, message, sizeof message, 0) > 0)
            if (message[0] == 1)
                return true;
        return false;
    }

    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_XPUB);
};

// Sends the listener what is not a packet: one part of the wrong size, two parts, then a
// message beyond its inbound cap, which must end the connection unread; once the listener has
// subscribed again, one packet, numbered beyond what the device reaches.
void send_what_is_not_a_packet(const std::string &endpoint)
{
    OwnPublisher publisher;
    ASSERT_EQ(zmq_bind(publisher.socket, endpoint.c_str()), 0);
    ASSERT_TRUE(publisher.subscribed()) << "the listener never subscribed";
    zmq_send(publisher.socket, "not a packet", 12, 0);
    zmq_send(publisher.socket, "two", 3, ZMQ_SNDMORE);
    zmq_send(publisher.socket, "parts", 5, 0);
    const std::string huge(64 << 20, 'x');
    zmq_send(publisher.socket, huge.data(), huge.size(), 0);
    ASSERT_TRUE(publisher.subscribed()) << "the listener took the huge message";
    vesk_packet packet = {1000000, 0, {}};
    unsigned char message[VESK_MESSAGE_SIZE];
    vesk_encode(&packet, message);
    zmq_send(publisher.socket, message, sizeof message, 0);
}

// The listener's CSV: its header, and as its last whole line a packet of the sequence's run
// `run` (the run after it may be still being written).
void expect_csv(const std::string &csv, unsigned long long run)
{
    EXPECT_EQ(csv.rfind(csv_header() + target().eol, 0), 0u) << csv.substr(0, 200);
    const size_t end = csv.rfind('\n'), start = csv.rfind('\n', end - 1);
    const std::string last = csv.substr(start + 1, end - start - 1);
    unsigned long long sequence = 0, time_ns = 0, its_run = 0;
    float samples[8];
    EXPECT_EQ(std::sscanf(last.c_str(), "%llu,%llu,%f,%f,%f,%f,%f,%f,%f,%f,%llu", &sequence, &time_ns, &samples[0],
                          &samples[1], &samples[2], &samples[3], &samples[4], &samples[5], &samples[6], &samples[7],
                          &its_run),
              11)
        << last;
    EXPECT_EQ(its_run, run);
}

}  // namespace

// vesk-listen as its user runs it (what it makes of a stream is listen_test's): until a
// publisher is heard it says so; what is not a packet is counted apart; with --csv a real
// device's packets go to standard output decoded, the counts to standard error, and the
// restarted sequence is the next run; an output nobody reads ends it. --help and --version
// answer on standard output.
TEST_F(Device, ListenerShowsThePacketsAndCountsThem)
{
    const std::string endpoint = free_endpoint();
    const std::vector<std::string> argv = {target().listener, "--csv", endpoint};
    ChildOptions counts_to_file;
    counts_to_file.stderr_path = dir_ + "/counts";
    Child listener(argv, counts_to_file);
    auto counted = [&](const std::string &pattern) {  // a line of the counts matches
        return eventually([&] {
            listener.output();  // drained, so that the packets it writes never hold it up
            std::istringstream lines(contents(dir_ + "/counts"));
            for (std::string line; std::getline(lines, line);)
                if (std::regex_search(line, std::regex(pattern)))
                    return true;
            return false;
        });
    };
    ASSERT_TRUE(counted(VESK_LISTEN_NOTHING_YET + endpoint)) << contents(dir_ + "/counts");
    send_what_is_not_a_packet(endpoint);
    EXPECT_TRUE(counted("^received 1  lost 0  last 1000000  .*  not packets 2$")) << contents(dir_ + "/counts");

    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_DROP_EVERY=4"}));
    EXPECT_TRUE(counted("  lost [1-9].*  stamped 250\\.0/s.*  restarts 1  ")) << contents(dir_ + "/counts");
    expect_csv(listener.output(), 1);
    quit(server, t);

    ChildOptions closed_output = counts_to_file;  // a listener whose output nobody reads any more ends
    closed_output.stdout_closed = true;
    EXPECT_NE(Child(argv, closed_output).wait(), -1) << "it wrote on into a closed output";
    for (const auto &[flag, says] : {std::pair{"--help", std::string("usage: vesk-listen")},
                                     std::pair{"--version", "vesk-listen " VESK_VERSION + target().eol}}) {
        Child asked({target().listener, flag});
        EXPECT_EQ(asked.wait(), 0) << flag;
        EXPECT_EQ(asked.output().rfind(says, 0), 0u) << asked.output();
    }
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
