#include "listen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// How far ahead of the one before a packet may be and still continue its sequence: a second of
// the fastest stream lost. Anything else must be confirmed by the packet after it.
constexpr uint64_t kMostAhead = VESK_MAX_RATE;

// A stamp further than this from where the period puts it is a jump of the schedule: more
// than rounding to the nanosecond, over a second of the fastest stream, can explain.
constexpr double kLeastJumpNs = 1e6;

// Whether `next` continues a sequence whose last number is `last`.
bool continues(uint64_t last, uint64_t next)
{
    return next > last && next - last <= kMostAhead;
}

std::string format(const char *format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string number(uint64_t value)
{
    return std::to_string(value);
}

}  // namespace

bool Sequence::add(const vesk_packet &packet, Moment at, Restart *restart)
{
    ++interval_packets_;
    const uint64_t sequence = packet.sequence;
    if (counts_.received == 0 || continues(counts_.last, sequence)) {
        counts_.strays += held_;
        held_ = false;
        take(packet, at);
        return false;
    }
    if (held_ && continues(held_packet_.sequence, sequence)) {
        held_ = false;
        const bool restarted = held_packet_.sequence <= counts_.last;
        if (restarted) {
            if (restart != nullptr)
                *restart = {counts_.last, held_packet_.sequence};
            counts_ = Counts{0, 0, 0, 0, counts_.not_packets, counts_.strays, counts_.restarts + 1};
        }
        take(held_packet_, held_at_);
        take(packet, at);
        return restarted;
    }
    counts_.strays += held_;
    held_ = true;
    held_packet_ = packet;
    held_at_ = at;
    return false;
}

void Sequence::take(const vesk_packet &packet, Moment at)
{
    if (counts_.received > 0) {
        counts_.lost += packet.sequence - counts_.last - 1;
        check_schedule(packet);
    } else {
        reference_sequence_ = packet.sequence;
        reference_stamp_ = packet.time_ns;
        period_ns_ = 0;
    }
    counts_.last = packet.sequence;
    ++counts_.received;
    heard_ = true;
    last_at_ = at;
    last_lag_ns_ = at.system_ns - static_cast<int64_t>(packet.time_ns);
}

// The period is learnt from the stamps themselves, so a stamp is judged against the packets of
// its own schedule; after a jump it is learnt afresh.
void Sequence::check_schedule(const vesk_packet &packet)
{
    const double steps = static_cast<double>(packet.sequence - reference_sequence_);
    const double moved = static_cast<double>(static_cast<int64_t>(packet.time_ns - reference_stamp_));
    const bool known = period_ns_ > 0;
    if ((known && std::fabs(moved - steps * period_ns_) > std::max(period_ns_ / 2, kLeastJumpNs)) || moved <= 0) {
        ++counts_.jumps;
        reference_sequence_ = packet.sequence;
        reference_stamp_ = packet.time_ns;
        period_ns_ = 0;
        return;
    }
    period_ns_ = last_period_ns_ = moved / steps;
}

Health Sequence::report(int64_t steady_ns)
{
    Health health;
    health.counts = counts_;
    health.heard = heard_;
    const int64_t elapsed = steady_ns - interval_start_;
    if (elapsed > 0)
        health.rate_received = static_cast<double>(interval_packets_) * 1e9 / static_cast<double>(elapsed);
    interval_start_ = steady_ns;
    interval_packets_ = 0;
    if (last_period_ns_ > 0)
        health.rate_stamped = 1e9 / last_period_ns_;
    if (heard_) {
        health.lag_ms = static_cast<double>(last_lag_ns_) / 1e6;
        health.quiet_s = std::max<int64_t>(0, (steady_ns - last_at_.steady_ns) / 1000000000);
    }
    return health;
}

const char kUsage[] =
    "usage: vesk-listen [--csv | --json] [ENDPOINT]\n"
    "       vesk-listen --help | --version\n"
    "Subscribes to the device library's data output at ENDPOINT (default " VESK_DEFAULT_ENDPOINT ")\n"
    "and reports once a second: packets received and lost, the rate received against the rate\n"
    "the stamps say, the stamps' lag behind this machine's clock, how long nothing has come,\n"
    "jumps of the stamps' schedule and restarts of the sequence.\n"
    "  --csv   every packet decoded on standard output, the reports on standard error\n"
    "  --json  the reports as one JSON object a line on standard output\n";

bool parse(int argc, const char *const *argv, Options *options)
{
    const struct {
        const char *flag;
        Options::Mode mode;
    } flags[] = {{"--csv", Options::kCsv},
                 {"--json", Options::kJson},
                 {"--help", Options::kHelp},
                 {"--version", Options::kVersion}};
    int first = 1;
    for (const auto &flag : flags)
        if (argc > 1 && std::strcmp(argv[1], flag.flag) == 0) {
            options->mode = flag.mode;
            first = 2;
        }
    const bool alone = options->mode == Options::kHelp || options->mode == Options::kVersion;
    if (argc > first + 1 || (argc == first + 1 && (alone || argv[first][0] == '-')))
        return false;
    if (argc > first)
        options->endpoint = argv[first];
    return true;
}

std::string report_line(const Health &health, const char *endpoint)
{
    const Counts &c = health.counts;
    std::string line;
    if (!health.heard)
        line = "received 0  lost 0  last -  (" VESK_LISTEN_NOTHING_YET + std::string(endpoint) + ")";
    else
        line = "received " + number(c.received) + "  lost " + number(c.lost) + "  last " + number(c.last) +
               format("  rate %.1f/s", health.rate_received) +
               (health.rate_stamped > 0 ? format("  stamped %.1f/s", health.rate_stamped) : "") +
               format("  lag %.1f ms", health.lag_ms);
    if (c.jumps > 0)
        line += "  schedule jumps " + number(c.jumps);
    if (c.restarts > 0)
        line += "  restarts " + number(c.restarts);
    if (c.strays > 0)
        line += "  out of sequence " + number(c.strays);
    if (c.not_packets > 0)
        line += "  not packets " + number(c.not_packets);
    if (health.quiet_s > 0)
        line += "  " VESK_LISTEN_QUIET + std::to_string(health.quiet_s) + " s";
    return line;
}

std::string report_json(const Health &health)
{
    const Counts &c = health.counts;
    const std::string null = "null";
    return "{\"received\":" + number(c.received) + ",\"lost\":" + number(c.lost) +
           ",\"last\":" + (c.received > 0 ? number(c.last) : null) +
           format(",\"rate_received\":%.1f", health.rate_received) +
           ",\"rate_stamped\":" + (health.rate_stamped > 0 ? format("%.1f", health.rate_stamped) : null) +
           ",\"lag_ms\":" + (health.heard ? format("%.1f", health.lag_ms) : null) +
           ",\"quiet_s\":" + std::to_string(health.quiet_s) + ",\"schedule_jumps\":" + number(c.jumps) +
           ",\"restarts\":" + number(c.restarts) + ",\"out_of_sequence\":" + number(c.strays) +
           ",\"not_packets\":" + number(c.not_packets) + "}";
}

std::string csv_header()
{
    std::string header = "sequence,time_ns";
    for (int c = 0; c < VESK_CHANNELS; ++c)
        header += ",channel" + std::to_string(c);
    return header + ",run";
}

// %.9g gives every float back exactly, the smallest included.
std::string csv_line(const vesk_packet &packet, uint64_t run)
{
    std::string line = number(packet.sequence) + "," + number(packet.time_ns);
    for (float sample : packet.samples)
        line += format(",%.9g", static_cast<double>(sample));
    return line + "," + number(run);
}
