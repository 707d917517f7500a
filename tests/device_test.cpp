// The stand-in's device as its consumers see it while the real server holds it open.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <regex>

#include "listen.h"
#include "support/device.h"
#include "vesk/waveform.h"

// The numbers missing between the rising packets `seen`, each a 10th, each stamped a start plus its due
// moment at `rate`; the start moves on only where standard error `said` so (a stall of over a second).
static std::vector<uint64_t> gaps_in(const std::vector<vesk_packet> &seen, long rate, const std::string &said)
{
    const bool moved_on = said.find(VESK_SAYS_MOVED_ON) != std::string::npos;
    std::vector<uint64_t> gaps;
    uint64_t start = seen[0].time_ns - vesk_due_ns(seen[0].sequence, rate);
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GT(seen[i].sequence, seen[i - 1].sequence);
        const uint64_t due = vesk_due_ns(seen[i].sequence, rate);
        if (seen[i].time_ns >= start + due + 1000000000 && moved_on)
            start = seen[i].time_ns - due;
        EXPECT_EQ(seen[i].time_ns, start + due) << seen[i].sequence;
        for (uint64_t missing = seen[i - 1].sequence + 1; missing < seen[i].sequence; ++missing) {
            EXPECT_EQ(missing % 10, 9u) << missing << " was lost without being dropped";
            gaps.push_back(missing);
        }
    }
    return gaps;
}

// Every 10th packet lost and logged, stamps on a schedule not dividing a second; after q no thread runs.
TEST_F(Device, PublishesRisingSequenceOnScheduleAndLogsEveryGap)
{
    const long rate = 66667;
    Subscriber subscriber;
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + subscriber.endpoint,
                                            "VESK_DEVICE_RATE=" + std::to_string(rate), "VESK_DEVICE_DROP_EVERY=10"}));
    std::vector<vesk_packet> seen(300);  // 1 Hz on channel 0, a little noise
    for (vesk_packet &p : seen) {
        ASSERT_EQ(subscriber.receive(&p), VESK_MESSAGE_SIZE);
        for (float sample : p.samples)
            EXPECT_LE(std::fabs(sample), 1.05f) << "packet " << p.sequence;
        EXPECT_NEAR(p.samples[0], std::sin(2 * M_PI * static_cast<double>(p.sequence) / rate), 0.051) << p.sequence;
    }
    const int64_t now = std::chrono::nanoseconds(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LT(std::llabs(now - static_cast<int64_t>(seen.back().time_ns)), 60LL * 1000000000) << "not near now";
    const std::vector<uint64_t> gaps = gaps_in(seen, rate, contents(dir_ + "/stderr"));
    ASSERT_GE(gaps.size(), 25u);
    const std::string last = VESK_SAYS_LOST + std::to_string(gaps.back()) + "\n";
    ASSERT_TRUE(eventually([&] { return contents(dir_ + "/lost.log").find(last) != std::string::npos; }));
    const std::string log = contents(dir_ + "/lost.log");
    for (uint64_t missing : gaps)
        EXPECT_NE(log.find(VESK_SAYS_LOST + std::to_string(missing) + "\n"), std::string::npos) << missing;
#ifndef _WIN32  // Windows puts threads of its own into a process
    ASSERT_GT(thread_count(server.pid()), 1) << "the library runs no thread to outlive the close";
#endif
    server.send("q");
    ASSERT_TRUE(t.wait_for_line(VESK_TRACE_CLOSE));
#ifndef _WIN32
    ASSERT_TRUE(eventually([&] { return thread_count(server.pid()) == 1; })) << "a library thread lingers";
#endif
    while (subscriber.next(200) >= 0) {}
    EXPECT_TRUE(server.running());
    EXPECT_EQ(subscriber.next(500), -1) << "published after the device was closed";
    server.send("\n");
    expect_orderly_end(server, t);
    const std::string errors = contents(dir_ + "/stderr");  // a file, as is the log: neither drops a line
    EXPECT_EQ(errors.find(VESK_SAYS_DROPPED), std::string::npos) << errors;
    EXPECT_EQ(errors.find(VESK_SAYS_NOT_WRITTEN), std::string::npos) << errors;
}

// A taken or senseless endpoint costs the data output alone; libzmq would take a port modulo 65536.
TEST_F(Device, EndpointThatCannotBeBoundLeavesTheRunIntact)
{
    TakenPort taken;
    std::vector<std::pair<std::string, std::string>> endpoints = {
        {taken.endpoint, ""}, {"no-such-transport://x", ""}, {"tcp://127.0.0.1:99999", VESK_SAYS_BAD_PORT},
        {"tcp://127.0.0.1:+70080", VESK_SAYS_BAD_PORT}, {"tcp://127.0.0.1:70081x", VESK_SAYS_BAD_PORT}};
    if (kWindows)
        endpoints.push_back({"ipc://" + dir_ + "/socket", VESK_SAYS_NO_IPC});
    for (const auto &[endpoint, why] : endpoints)
        expect_said({"VESK_DEVICE_ENDPOINT=" + endpoint}, VESK_SAYS_NO_OUTPUT + endpoint + ": " + why);
}

// Whether the server drops, not streams to, a peer subscribing over ZMTP 3.0 to `count` topics of `size`
// bytes and to all: by hand, as libzmq's own SUB would overflow its stack on megabytes of trie.
static bool drops_peer(const std::string &endpoint, int count, size_t size)
{
    std::string zmtp("\x04\x19\x05READY\x0bSocket-Type\0\0\0\x03SUB", 27);
    auto frame = [&zmtp](const std::string &body) {
        zmtp += body.size() < 256 ? '\0' : '\x02';  // short or long
        for (int shift = body.size() < 256 ? 0 : 56; shift >= 0; shift -= 8)
            zmtp += static_cast<char>(body.size() >> shift & 0xff);
        zmtp += body;
    };
    for (int i = 0; i < count; ++i)
        frame('\x01' + std::to_string(i) + std::string(size - std::min(size, std::to_string(i).size()), 'x'));
    frame("\x01");
    Socket peer(ZMQ_STREAM);
    zmq_connect(peer.socket, endpoint.c_str());
    std::string id(256, '\0'), greeting("\xff\0\0\0\0\0\0\0\0\x7f\x03\0NULL", 16);  // 3.0, no security
    greeting.resize(64);
    size_t from_server = 0;
    int last = -1;
    auto receive = [&] {  // a routing id, then what came, or nothing for a (dis)connection
        if (!peer.wait_in())
            return false;
        id.resize(static_cast<size_t>(zmq_recv(peer.socket, id.data(), 256, 0)));
        char data[4096];
        last = zmq_recv(peer.socket, data, sizeof data, 0);
        from_server += static_cast<size_t>(std::max(last, 0));
        return from_server == 0 || last != 0;  // still connected
    };
    // Greeting and READY are 91 bytes, a packet past 100; libzmq 4.3.4 fails a greeting read with more.
    bool connected = receive();
    for (const auto &[out, until] : {std::pair{&greeting, 91}, std::pair{&zmtp, 100 + VESK_MESSAGE_SIZE}}) {
        zmq_send(peer.socket, id.data(), id.size(), ZMQ_SNDMORE);
        zmq_send(peer.socket, out->data(), out->size(), 0);
        while (connected && from_server < static_cast<size_t>(until))
            connected = receive();
    }
    return from_server >= 91 && last == 0;
}

// The port * (the default) is said once bound; a peer subscribing to megabytes or thousands of topics
// is dropped before the server holds them, and the stream goes on.
TEST_F(Device, WildcardPortIsSaidAndHugeSubscriptionCostsNothing)
{
    const struct { int count; size_t size; long most_growth_kb; } rows[] = {
        {1, 8 << 20, 4 * 1024},   // past the cap on a message
        {20000, 240, 32 * 1024},  // each past that cap too
        {1000, 16, 32 * 1024},    // past the subscriptions kept at once
    };
    Trace t = trace("t");
    Child server = start(t, device_options({}));
    std::string errors;
    std::smatch bound;
    ASSERT_TRUE(eventually([&] {
        errors = contents(dir_ + "/stderr");
        return std::regex_search(errors, bound, std::regex(VESK_SAYS_BOUND "(tcp://127\\.0\\.0\\.1:[0-9]+)\r?\n"));
    })) << errors;
    const std::string endpoint = bound[1];
    Subscriber subscriber(endpoint);
    ASSERT_GE(subscriber.next(), 0) << "nothing on " << endpoint;
    for (const auto &row : rows) {
        const long before = resident_kb(server.pid());
        ASSERT_GT(before, 0);
        EXPECT_TRUE(drops_peer(endpoint, row.count, row.size)) << row.count << " taken";
        EXPECT_LT(resident_kb(server.pid()) - before, row.most_growth_kb) << row.count << ", from " << before << " kB";
        EXPECT_GE(subscriber.next(), 0) << "the stream stopped after " << row.count;
    }
    quit(server, t);
}

// Sends a wrong size, two parts, one past the cap (its connection ends), then a packet beyond the device's.
static void send_what_is_not_a_packet(const std::string &endpoint)
{
    Socket publisher(ZMQ_XPUB, static_cast<int>(kPatience.count() * 1000));
    int verbose = 1;
    zmq_setsockopt(publisher.socket, ZMQ_XPUB_VERBOSE, &verbose, sizeof verbose);
    auto subscribed = [&] {  // a new connection's may come before the old one's unsubscription
        char message[8] = {};
        while (message[0] != 1 && publisher.wait_in())
            zmq_recv(publisher.socket, message, sizeof message, 0);
        return message[0] == 1;
    };
    ASSERT_EQ(zmq_bind(publisher.socket, endpoint.c_str()), 0);
    ASSERT_TRUE(subscribed()) << "the listener never subscribed";
    zmq_send(publisher.socket, "not a packet", 12, 0);
    zmq_send(publisher.socket, "two", 3, ZMQ_SNDMORE);
    zmq_send(publisher.socket, "parts", 5, 0);
    const std::string huge(64 << 20, 'x');
    zmq_send(publisher.socket, huge.data(), huge.size(), 0);
    ASSERT_TRUE(subscribed()) << "the listener took the huge message";
    vesk_packet packet = {1000000, 0, {}};
    unsigned char message[VESK_MESSAGE_SIZE];
    vesk_encode(&packet, message);
    zmq_send(publisher.socket, message, sizeof message, 0);
}

// vesk-listen as its user runs it: it waits aloud, counts non-packets apart, writes a device's
// packets as CSV with the restart as the next run, and ends once nobody reads its output.
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
            return std::regex_search(contents(dir_ + "/counts"), std::regex(pattern, std::regex::multiline));
        });
    };
    ASSERT_TRUE(counted(VESK_LISTEN_NOTHING_YET + endpoint)) << contents(dir_ + "/counts");
    send_what_is_not_a_packet(endpoint);
    EXPECT_TRUE(counted("^received 1  lost 0  last 1000000  .*  not packets 2$")) << contents(dir_ + "/counts");

    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_DROP_EVERY=4"}));
    EXPECT_TRUE(counted("  lost [1-9].*  stamped 250\\.0/s.*  restarts 1  ")) << contents(dir_ + "/counts");
    const std::string csv = listener.output();  // the last whole line is of the next run
    EXPECT_EQ(csv.rfind(csv_header() + target().eol, 0), 0u) << csv.substr(0, 200);
    EXPECT_TRUE(std::regex_search(csv, std::regex("\n[0-9]+,[0-9]+(,[-+.e0-9]+){8},1\r?\n[^\n]*$")))
        << csv.substr(std::max<size_t>(csv.size(), 300) - 300);
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

// Lines that a standard error full from the start, or undrained, would not take are dropped, not waited for.
TEST_F(Device, LogThatNobodyDrainsHoldsUpNeitherTheStreamNorTheClose)
{
    for (bool full : {true, false}) {
        SCOPED_TRACE(full ? "full from the start" : "undrained");
        Subscriber subscriber;
        ChildOptions options;
        options.stderr_undrained = true;
        options.stderr_full = full;
        options.env = {"VESK_DEVICE_ENDPOINT=" + subscriber.endpoint, "VESK_DEVICE_RATE=100000",
                       "VESK_DEVICE_DROP_EVERY=2"};
        Trace t = trace(full ? "full" : "t");
        Child server = start(t, options);
        // Half of the pipe's 64 KiB: where the log stops taking lines differs between platforms.
        ASSERT_TRUE(eventually([&] { return server.undrained_errors() >= 32 * 1024; })) << "the log never filled it";
        // A device thread held up by the log would be stuck long before 20000 more packets.
        int64_t first = subscriber.next(), last = first;
        while (last >= 0 && last < first + 20000)
            last = subscriber.next();
        ASSERT_GE(last, 0) << "the stream stopped once the log was full";
        quit(server, t);
    }
}
