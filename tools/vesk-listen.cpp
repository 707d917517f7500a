// vesk-listen [--csv | --json] [ENDPOINT]: subscribes to the device library's data output and
// reports once a second how the stream fares; docs/standin.md tells the rest.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <zmq.h>

#include "listen.h"

namespace {

// The most a publisher may send in one message, far more than a packet: a bigger one ends the
// connection before it is read.
constexpr int64_t kMostInbound = 4096;

// Ends the listener when `to` could not take what was written: nobody reads it any more.
void check(FILE *to)
{
    if (std::fflush(to) == 0 && !std::ferror(to))
        return;
    if (errno != EPIPE)
        std::fprintf(stderr, "vesk-listen: cannot write: %s\n", std::strerror(errno));
    std::_Exit(1);
}

// Receives one whole message into `buffer` (of `size` bytes): its length, 0 for a message of
// several parts, or -1 when nothing could be received.
int receive(void *subscriber, unsigned char *buffer, size_t size)
{
    int n = zmq_recv(subscriber, buffer, size, 0);
    if (n < 0)
        return -1;
    int more = 0;
    size_t length = sizeof more;
    bool parts = false;
    while (zmq_getsockopt(subscriber, ZMQ_RCVMORE, &more, &length) == 0 && more) {
        parts = true;
        if (zmq_recv(subscriber, buffer, size, 0) < 0)
            break;
    }
    return parts ? 0 : n;
}

// The subscriber, and a monitor that tells of each disconnection: libzmq gives up for good a
// connection whose peer broke the protocol (a message over the cap), so the listener reconnects.
struct Link {
    void *subscriber = nullptr;
    void *monitor = nullptr;
    const char *endpoint = nullptr;
};

// A link subscribed to everything at `endpoint`, or false (with a word on standard error).
bool subscribe(void *context, const char *endpoint, Link *link)
{
    void *subscriber = zmq_socket(context, ZMQ_SUB);
    zmq_setsockopt(subscriber, ZMQ_SUBSCRIBE, "", 0);
    // A second of the fastest stream, so a listener the scheduler holds up loses nothing.
    int queue = VESK_MAX_RATE;
    zmq_setsockopt(subscriber, ZMQ_RCVHWM, &queue, sizeof queue);
    int64_t most_inbound = kMostInbound;
    zmq_setsockopt(subscriber, ZMQ_MAXMSGSIZE, &most_inbound, sizeof most_inbound);
    const char *monitor = "inproc://vesk-listen-monitor";
    *link = {subscriber, zmq_socket(context, ZMQ_PAIR), endpoint};
    if (zmq_socket_monitor(subscriber, monitor, ZMQ_EVENT_DISCONNECTED) != 0 ||
        zmq_connect(link->monitor, monitor) != 0 || zmq_connect(subscriber, endpoint) != 0) {
        std::fprintf(stderr, "vesk-listen: cannot connect to %s: %s\n", endpoint, zmq_strerror(zmq_errno()));
        return false;
    }
    return true;
}

// Connects again once the monitor has told of a disconnection, an event of two parts.
void reconnect(const Link &link)
{
    zmq_msg_t part;
    zmq_msg_init(&part);
    while (zmq_msg_recv(&part, link.monitor, 0) >= 0 && zmq_msg_more(&part)) {
    }
    zmq_msg_close(&part);
    zmq_disconnect(link.subscriber, link.endpoint);
    zmq_connect(link.subscriber, link.endpoint);
}

// Waits until a message is there to receive or `until` has come; whether one is there.
bool wait_for_message(const Link &link, bool csv, std::chrono::steady_clock::time_point until)
{
    zmq_pollitem_t items[] = {{link.subscriber, 0, ZMQ_POLLIN, 0}, {link.monitor, 0, ZMQ_POLLIN, 0}};
    int ready = zmq_poll(items, 2, 0);
    if (ready == 0) {
        // Nothing more has come: what was printed goes out before the wait, so a reader that
        // has gone is found at once, and a busy stream is written in batches.
        if (csv)
            check(stdout);
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        zmq_poll(items, 2, static_cast<long>(std::max<long long>(0, wait.count())));
    }
    if (items[1].revents & ZMQ_POLLIN)
        reconnect(link);
    return (items[0].revents & ZMQ_POLLIN) != 0;
}

// Where each kind of output goes for the mode asked for.
struct Outputs {
    explicit Outputs(Options::Mode mode)
        : reports(mode == Options::kCsv ? stderr : stdout), notes(mode == Options::kCounts ? stdout : stderr),
          csv(mode == Options::kCsv), json(mode == Options::kJson)
    {
    }
    FILE *reports;  // the once-a-second reports
    FILE *notes;    // what the listener says besides
    bool csv, json;
};

// Writes a line to `to`; a write to standard output that fails ends the listener, since the
// reports or packets there are what it is run for.
void write_line(FILE *to, const std::string &line)
{
    std::fputs(line.c_str(), to);
    std::fputc('\n', to);
    if (to == stdout)
        check(to);
    else
        std::fflush(to);
}

Moment moment_now()
{
    using namespace std::chrono;
    return {duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count(),
            duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count()};
}

// Receives one message and counts it; a packet goes to standard output with --csv.
void take_message(void *subscriber, const Outputs &outputs, Sequence *sequence)
{
    unsigned char message[VESK_MESSAGE_SIZE + 1];
    int size = receive(subscriber, message, sizeof message);
    if (size < 0)
        return;
    if (size != VESK_MESSAGE_SIZE) {
        sequence->add_not_packet();
        return;
    }
    vesk_packet packet = vesk_decode(message);
    Restart restart;
    if (sequence->add(packet, moment_now(), &restart))
        write_line(outputs.notes, "sequence went back from " + std::to_string(restart.from) + " to " +
                                      std::to_string(restart.to) + ": " VESK_LISTEN_RESTARTED);
    if (outputs.csv) {
        std::fputs(csv_line(packet, sequence->counts().restarts).c_str(), stdout);
        std::fputc('\n', stdout);
    }
}

// Counts what arrives and reports once a second, until the process is ended. Packets
// published before this subscriber joined are not counted as lost.
[[noreturn]] void count_and_report(const Link &link, const Options &options, const Outputs &outputs)
{
    const auto second = std::chrono::seconds(1);
    Sequence sequence(moment_now().steady_ns);
    auto next_report = std::chrono::steady_clock::now() + second;
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now >= next_report) {
            Health health = sequence.report(moment_now().steady_ns);
            write_line(outputs.reports, outputs.json ? report_json(health) : report_line(health, options.endpoint));
            // One report after the listener was stopped (Ctrl+Z, fg), not one per second missed.
            next_report = now - next_report >= second ? now + second : next_report + second;
        } else if (wait_for_message(link, outputs.csv, next_report)) {
            take_message(link.subscriber, outputs, &sequence);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (options.mode == Options::kHelp || options.mode == Options::kVersion) {
        std::fputs(options.mode == Options::kHelp ? kUsage : "vesk-listen " VESK_VERSION "\n", stdout);
        check(stdout);
        return 0;
    }
    const Outputs outputs(options.mode);
    Link link;
    if (!subscribe(zmq_ctx_new(), options.endpoint, &link))
        return 1;
    write_line(outputs.notes, std::string("listening on ") + options.endpoint);
    if (outputs.csv)
        write_line(stdout, csv_header());
    count_and_report(link, options, outputs);
}
