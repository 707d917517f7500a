// The stand-in's simulated device as a consumer of its data sees it, while the real server
// holds it open: natively, and under Wine with a native subscriber.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "support/device.h"

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
    EXPECT_EQ(errors.find(VESK_SAYS_NOT_WRITTEN), std::string::npos) << errors;
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
