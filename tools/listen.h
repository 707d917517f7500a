#pragma once

// What vesk-listen makes of the stream, apart from its socket and its clock: the sequence's
// counts, the stream's health, its command line and the lines it writes.
#include <cstdint>
#include <string>

#include "vesk/message.h"

// What the listener says that a reader, or a test, looks for.
#define VESK_LISTEN_NOTHING_YET "no publisher heard from yet on " /* the endpoint */
#define VESK_LISTEN_RESTARTED "the device restarted; counting afresh"
#define VESK_LISTEN_QUIET "nothing received for " /* N " s" */

// When a packet came, on the listener's steady clock and on its system clock.
struct Moment {
    int64_t steady_ns = 0;
    int64_t system_ns = 0;
};

struct Counts {
    // Of this run of the sequence: they start afresh when the device restarts.
    uint64_t received = 0, lost = 0, last = 0;
    uint64_t jumps = 0;  // stamps that moved on further than the sequence explains
    // Of the whole listen.
    uint64_t not_packets = 0;  // messages that are not one 48-byte part
    uint64_t strays = 0;       // packets that continued nothing and were not continued either
    uint64_t restarts = 0;
};

// A restart of the sequence: the last number before it and the first after.
struct Restart {
    uint64_t from = 0, to = 0;
};

// The once-a-second report.
struct Health {
    Counts counts;
    bool heard = false;          // a packet has come
    double rate_received = 0;    // packets a second since the report before
    double rate_stamped = 0;     // 1 / the period between the stamps; 0 while unknown
    double lag_ms = 0;           // the last packet's stamp behind the system clock when it came
    int64_t quiet_s = 0;         // whole seconds since the last packet came
};

// Tells the packets' sequence apart from a stray number: a packet that does not continue the
// sequence (a duplicate, one that goes back, a wild jump) is held until the next one says what
// it was. Continued by the next, it starts the sequence again (a device opened anew) or was a
// jump after a long loss; otherwise it is counted apart and the sequence goes on.
class Sequence {
public:
    explicit Sequence(int64_t steady_ns) : interval_start_(steady_ns) {}
    // Counts the packet that came at `at`; true when it confirmed a restart of the sequence,
    // which `restart` (if given) then tells.
    bool add(const vesk_packet &packet, Moment at, Restart *restart = nullptr);
    void add_not_packet() { ++counts_.not_packets; }
    // The health at `steady_ns`; the received rate is over the time since the report before.
    Health report(int64_t steady_ns);
    const Counts &counts() const { return counts_; }

private:
    void take(const vesk_packet &packet, Moment at);
    void check_schedule(const vesk_packet &packet);

    Counts counts_;
    bool held_ = false;
    vesk_packet held_packet_ = {};
    Moment held_at_;
    // The schedule the stamps follow: a packet of it, and the period since, 0 while unknown.
    uint64_t reference_sequence_ = 0, reference_stamp_ = 0;
    double period_ns_ = 0, last_period_ns_ = 0;
    bool heard_ = false;
    Moment last_at_;
    int64_t last_lag_ns_ = 0;
    int64_t interval_start_;
    uint64_t interval_packets_ = 0;
};

// What the command line asks for.
struct Options {
    enum Mode { kCounts, kCsv, kJson, kHelp, kVersion } mode = kCounts;
    const char *endpoint = VESK_DEFAULT_ENDPOINT;
};

// The options in `argv`, or false when they are not vesk-listen's.
bool parse(int argc, const char *const *argv, Options *options);

extern const char kUsage[];

// The report as a line of text, or as one JSON object, each without its newline.
std::string report_line(const Health &health, const char *endpoint);
std::string report_json(const Health &health);

// The CSV header and one packet's line, without newlines; `run` counts the restarts before it.
std::string csv_header();
std::string csv_line(const vesk_packet &packet, uint64_t run);
