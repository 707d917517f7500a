// What vesk-listen makes of a stream, fed the packets and the moments they came.
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>
#include <vector>

#include "listen.h"
#include "vesk/waveform.h"

constexpr uint64_t kEpochNs = 1796774152000000000;  // where the rows' stamps start
constexpr uint64_t kWild = uint64_t{1} << 63;

// Packet `sequence` at `rate`, come `lag_ns` after its stamp; the steady clock reads 0 at kEpochNs.
static vesk_packet packet_of(uint64_t sequence, long rate, uint64_t shift_ns, Moment *at, int64_t lag_ns = 0)
{
    vesk_packet packet = {sequence, kEpochNs + vesk_due_ns(sequence, rate) + shift_ns, {}};
    at->system_ns = static_cast<int64_t>(packet.time_ns) + lag_ns;
    at->steady_ns = at->system_ns - static_cast<int64_t>(kEpochNs);
    return packet;
}

// Stamps that move as the sequence does are no jump.
TEST(Listen, SequenceTellsLossesStraysAndRestarts)
{
    struct Row {
        const char *name;
        std::vector<uint64_t> sequence;
        Counts expected;  // received, lost, last, jumps, not packets, strays, restarts
    } rows[] = {
        {"gaps are losses", {0, 1, 2, 5, 6}, {5, 2, 6, 0, 0, 0, 0}},
        {"one that goes back alone is a stray", {5, 2, 6}, {2, 0, 6, 0, 0, 1, 0}},
        {"back and on from there restarts", {10, 11, 12, 13, 5, 6}, {2, 0, 6, 0, 0, 0, 1}},
        {"all of them", {10, 11, 11, kWild, 12, 13, 5, 6}, {2, 0, 6, 0, 0, 2, 1}},
        {"a jump after a long loss, confirmed", {10, 10 + VESK_MAX_RATE + 5, 16 + VESK_MAX_RATE},
         {3, VESK_MAX_RATE + 4, 16 + VESK_MAX_RATE, 0, 0, 0, 0}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Sequence sequence(0);
        Restart restart;
        bool restarted = false;
        for (uint64_t number : row.sequence) {
            Moment at;
            restarted |= sequence.add(packet_of(number, 1000, 0, &at), at, &restart);
        }
        auto fields = [](const Counts &c) {
            return std::tuple(c.received, c.lost, c.last, c.jumps, c.not_packets, c.strays, c.restarts);
        };
        EXPECT_EQ(fields(sequence.counts()), fields(row.expected));
        EXPECT_EQ(restarted, row.expected.restarts > 0);
        EXPECT_EQ(restart.to, restarted ? 5u : 0u);
    }
}

// Jumps of the stamps are those that the sequence does not explain.
TEST(Listen, ReportTellsTheStreamsHealth)
{
    struct Row {
        const char *name;
        long rate;
        uint64_t packets, drop_every, jump_at;  // the stamps jump by 1.5 s from packet jump_at on
        int64_t lag_ns, report_ns;
        double rate_received; int64_t quiet_s; uint64_t lost, jumps;  // expected
    } rows[] = {
        {"a rate that does not divide a second", 66667, 66667, 0, 0, 2000000, 1000000000, 66667, 0, 0, 0},
        {"quiet after the last packet", 250, 250, 0, 0, 0, 3500000000, 250 / 3.5, 2, 0, 0},
        {"losses are no jump", 1000, 2000, 10, 0, 0, 2000000000, 900, 0, 199, 0},
        {"a stall moves the schedule on", 1000, 2000, 0, 1000, 0, 3500000000, 2000 / 3.5, 0, 0, 1},
        {"a stall at the second packet", 1000, 2000, 0, 1, 0, 3500000000, 2000 / 3.5, 0, 0, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Sequence sequence(0);
        for (uint64_t n = 0; n < row.packets; ++n) {
            Moment at;
            vesk_packet packet = packet_of(n, row.rate, row.jump_at > 0 && n >= row.jump_at ? 1500000000 : 0, &at,
                                           row.lag_ns);
            if (row.drop_every == 0 || n % row.drop_every != row.drop_every - 1)
                sequence.add(packet, at);
        }
        Health health = sequence.report(row.report_ns);
        EXPECT_EQ(health.counts.lost, row.lost);
        EXPECT_EQ(health.counts.jumps, row.jumps);
        EXPECT_NEAR(health.rate_received, row.rate_received, 0.01);
        EXPECT_NEAR(health.rate_stamped, static_cast<double>(row.rate), 0.01);
        EXPECT_NEAR(health.lag_ms, row.lag_ns / 1e6, 1e-6);
        EXPECT_EQ(health.quiet_s, row.quiet_s);
        EXPECT_EQ(sequence.report(row.report_ns + 1000000000).rate_received, 0) << "the next second is empty";
    }
}

// A packet's samples read back from its CSV exactly.
TEST(Listen, ReportAndPacketForms)
{
    Health health;
    EXPECT_EQ(report_line(health, "tcp://x:1"), "received 0  lost 0  last -  (" VESK_LISTEN_NOTHING_YET "tcp://x:1)");
    health = {{5, 2, 9, 1, 3, 4, 2}, true, 250, 250, 1.5, 3};
    EXPECT_EQ(report_line(health, "tcp://x:1"),
              "received 5  lost 2  last 9  rate 250.0/s  stamped 250.0/s  lag 1.5 ms  schedule jumps 1  restarts 2"
              "  out of sequence 4  not packets 3  " VESK_LISTEN_QUIET "3 s");
    EXPECT_EQ(report_json(health), "{\"received\":5,\"lost\":2,\"last\":9,\"rate_received\":250.0,\"rate_stamped\":250.0,"
                                   "\"lag_ms\":1.5,\"quiet_s\":3,\"schedule_jumps\":1,\"restarts\":2,"
                                   "\"out_of_sequence\":4,\"not_packets\":3}");
    EXPECT_EQ(report_json(Health{}).rfind("{\"received\":0,\"lost\":0,\"last\":null,", 0), 0u);

    EXPECT_EQ(csv_header(),
              "sequence,time_ns,channel0,channel1,channel2,channel3,channel4,channel5,channel6,channel7,run");
    const vesk_packet packet = {12, 34, {1e-45f, 0.458325356f, -2.5f, 1.04358959e30f, 10.1908455f, 0, 0, 1}};
    std::string line = csv_line(packet, 3);
    ASSERT_EQ(line.rfind("12,34,", 0), 0u) << line;
    char *at = line.data() + 5;  // the comma before each sample in turn
    for (float sample : packet.samples)
        EXPECT_EQ(std::strtof(at + 1, &at), sample) << line;
    EXPECT_STREQ(at, ",3");
}

// One mode at most, then an endpoint at most; --help and --version alone.
TEST(Listen, CommandLine)
{
    struct Row {
        std::vector<const char *> args;
        bool valid;
        Options::Mode mode;
        const char *endpoint;
    } rows[] = {
        {{}, true, Options::kCounts, VESK_DEFAULT_ENDPOINT},
        {{"tcp://h:1"}, true, Options::kCounts, "tcp://h:1"},
        {{"--csv", "tcp://h:1"}, true, Options::kCsv, "tcp://h:1"},
        {{"--json"}, true, Options::kJson, VESK_DEFAULT_ENDPOINT},
        {{"--help"}, true, Options::kHelp, VESK_DEFAULT_ENDPOINT},
        {{"--version"}, true, Options::kVersion, VESK_DEFAULT_ENDPOINT},
        {{"--help", "tcp://h:1"}, false, Options::kCounts, ""},
        {{"--csv", "--json"}, false, Options::kCounts, ""},
        {{"tcp://h:1", "--csv"}, false, Options::kCounts, ""},
        {{"-x"}, false, Options::kCounts, ""},
        {{"a", "b"}, false, Options::kCounts, ""},
    };
    for (const Row &row : rows) {
        std::vector<const char *> argv = {"vesk-listen"};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        Options options;
        SCOPED_TRACE(::testing::PrintToString(row.args));
        ASSERT_EQ(parse(static_cast<int>(argv.size()), argv.data(), &options), row.valid);
        if (row.valid) {
            EXPECT_EQ(options.mode, row.mode);
            EXPECT_STREQ(options.endpoint, row.endpoint);
        }
    }
}
