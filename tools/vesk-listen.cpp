// vesk-listen [--csv] [ENDPOINT]: subscribes to the device library's data output and prints,
// once a second, how many packets arrived, how many the sequence numbers show as lost, and the
// last sequence number. With --csv every packet goes to standard output decoded, one line each,
// and the counts to standard error. Ctrl+C ends it, and so does an output nobody reads any more.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <zmq.h>

#include "vesk/message.h"

namespace {

// How far ahead of the one before a packet may be and still continue its sequence: a second of
// the fastest stream lost. Anything else must be confirmed by the packet after it.
constexpr uint64_t kMostAhead = VESK_MAX_RATE;

struct Counts {
    uint64_t received = 0, lost = 0, last = 0;
    uint64_t not_packets = 0;  // messages that are not one 48-byte part
    uint64_t strays = 0;       // packets that continued nothing and were not continued either
};

// Whether `next` continues a sequence whose last number is `last`.
bool continues(uint64_t last, uint64_t next)
{
    return next > last && next - last <= kMostAhead;
}

// Tells the packets' sequence apart from a stray number: a packet that does not continue the
// sequence (a duplicate, one that goes back, a wild jump) is held until the next one says what
// it was. Continued by the next, it starts the sequence again (a device opened anew) or was a
// jump after a long loss; otherwise it is counted apart and the sequence goes on.
class Sequence {
public:
    // `restarted` is called when the sequence started again, before the counts start afresh.
    template <typename Restarted>
    void add(uint64_t sequence, Restarted restarted)
    {
        if (counts.received == 0 || continues(counts.last, sequence)) {
            counts.strays += held_;
            held_ = false;
            take(sequence);
        } else if (held_ && continues(held_sequence_, sequence)) {
            held_ = false;
            if (held_sequence_ <= counts.last) {
                restarted(counts.last, held_sequence_);
                counts = Counts{0, 0, 0, counts.not_packets, counts.strays};
            }
            take(held_sequence_);
            take(sequence);
        } else {
            counts.strays += held_;
            held_ = true;
            held_sequence_ = sequence;
        }
    }

    Counts counts;

private:
    void take(uint64_t sequence)
    {
        if (counts.received > 0)
            counts.lost += sequence - counts.last - 1;
        counts.last = sequence;
        ++counts.received;
    }

    bool held_ = false;
    uint64_t held_sequence_ = 0;
};

// Ends the listener when `to` could not take what was written: nobody reads it any more.
void check(FILE *to)
{
    if (std::fflush(to) == 0 && !std::ferror(to))
        return;
    if (errno != EPIPE)
        std::fprintf(stderr, "vesk-listen: cannot write: %s\n", std::strerror(errno));
    std::_Exit(1);
}

void report(FILE *to, const Counts &counts, const char *endpoint)
{
    if (counts.received == 0)
        std::fprintf(to, "received 0  lost 0  last -  (no publisher heard from yet on %s)", endpoint);
    else
        std::fprintf(to, "received %llu  lost %llu  last %llu", static_cast<unsigned long long>(counts.received),
                     static_cast<unsigned long long>(counts.lost), static_cast<unsigned long long>(counts.last));
    if (counts.strays > 0)
        std::fprintf(to, "  out of sequence %llu", static_cast<unsigned long long>(counts.strays));
    if (counts.not_packets > 0)
        std::fprintf(to, "  not packets %llu", static_cast<unsigned long long>(counts.not_packets));
    std::fputc('\n', to);
    // Counts that go beside the packets may go unread; the packets' output decides the end.
    if (to == stdout)
        check(to);
    else
        std::fflush(to);
}

// %.9g gives every float back exactly, the smallest included.
void print_csv(const vesk_packet &packet)
{
    std::printf("%llu,%llu", static_cast<unsigned long long>(packet.sequence),
                static_cast<unsigned long long>(packet.time_ns));
    for (float sample : packet.samples)
        std::printf(",%.9g", static_cast<double>(sample));
    std::putchar('\n');
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

// What the command line asks for.
struct Options {
    bool csv = false;
    const char *endpoint = VESK_DEFAULT_ENDPOINT;
    FILE *counts_to = stdout;  // standard error with --csv, beside the packets
};

// The options in `argv`, or false when they are not vesk-listen's.
bool parse(int argc, char **argv, Options *options)
{
    options->csv = argc > 1 && std::strcmp(argv[1], "--csv") == 0;
    int first = options->csv ? 2 : 1;
    if (argc > first + 1 || (argc == first + 1 && argv[first][0] == '-'))
        return false;
    if (argc > first)
        options->endpoint = argv[first];
    if (options->csv)
        options->counts_to = stderr;
    return true;
}

// A subscriber to everything at `endpoint`, or null (with a word on standard error).
void *subscribe(void *context, const char *endpoint)
{
    void *subscriber = zmq_socket(context, ZMQ_SUB);
    zmq_setsockopt(subscriber, ZMQ_SUBSCRIBE, "", 0);
    // A second of the fastest stream, so a listener the scheduler holds up loses nothing.
    int queue = VESK_MAX_RATE;
    zmq_setsockopt(subscriber, ZMQ_RCVHWM, &queue, sizeof queue);
    if (zmq_connect(subscriber, endpoint) != 0) {
        std::fprintf(stderr, "vesk-listen: cannot connect to %s: %s\n", endpoint, zmq_strerror(zmq_errno()));
        return nullptr;
    }
    return subscriber;
}

void print_csv_header()
{
    std::printf("sequence,time_ns");
    for (int c = 0; c < VESK_CHANNELS; ++c)
        std::printf(",channel%d", c);
    std::putchar('\n');
    check(stdout);
}

// Waits until a message is there to receive or `until` has come; whether one is there.
bool wait_for_message(void *subscriber, bool csv, std::chrono::steady_clock::time_point until)
{
    zmq_pollitem_t item = {subscriber, 0, ZMQ_POLLIN, 0};
    int ready = zmq_poll(&item, 1, 0);
    if (ready == 0) {
        // Nothing more has come: what was printed goes out before the wait, so a reader that
        // has gone is found at once, and a busy stream is written in batches.
        if (csv)
            check(stdout);
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        ready = zmq_poll(&item, 1, static_cast<long>(std::max<long long>(0, wait.count())));
    }
    return ready > 0;
}

// Receives one message and counts it; a packet goes to standard output with --csv.
void take_message(void *subscriber, const Options &options, Sequence *sequence)
{
    unsigned char message[VESK_MESSAGE_SIZE + 1];
    int size = receive(subscriber, message, sizeof message);
    if (size < 0)
        return;
    if (size != VESK_MESSAGE_SIZE) {
        ++sequence->counts.not_packets;
        return;
    }
    vesk_packet packet = vesk_decode(message);
    sequence->add(packet.sequence, [&](uint64_t from, uint64_t to) {
        std::fprintf(options.counts_to,
                     "sequence went back from %llu to %llu: the device restarted; counting afresh\n",
                     static_cast<unsigned long long>(from), static_cast<unsigned long long>(to));
    });
    if (options.csv)
        print_csv(packet);
}

// Counts what arrives and reports once a second, until the process is ended. Packets
// published before this subscriber joined are not counted as lost.
[[noreturn]] void count_and_report(void *subscriber, const Options &options)
{
    const auto second = std::chrono::seconds(1);
    Sequence sequence;
    auto next_report = std::chrono::steady_clock::now() + second;
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now >= next_report) {
            report(options.counts_to, sequence.counts, options.endpoint);
            // One report after the listener was stopped (Ctrl+Z, fg), not one per second missed.
            next_report = now - next_report >= second ? now + second : next_report + second;
        } else if (wait_for_message(subscriber, options.csv, next_report)) {
            take_message(subscriber, options, &sequence);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: vesk-listen [--csv] [ENDPOINT]   (default %s)\n", VESK_DEFAULT_ENDPOINT);
        return 2;
    }
    void *subscriber = subscribe(zmq_ctx_new(), options.endpoint);
    if (subscriber == nullptr)
        return 1;
    std::fprintf(options.counts_to, "listening on %s\n", options.endpoint);
    std::fflush(options.counts_to);
    if (options.csv)
        print_csv_header();
    count_and_report(subscriber, options);
}
