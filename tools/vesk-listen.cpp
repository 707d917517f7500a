// vesk-listen [--csv] [ENDPOINT]: subscribes to the device library's data output and prints,
// once a second, how many packets arrived, how many the sequence numbers show as lost, and the
// last sequence number. With --csv every packet goes to standard output decoded, one line each,
// and the counts to standard error. Ctrl+C ends it.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <zmq.h>

#include "vesk/message.h"

namespace {

struct Counts {
    uint64_t received = 0, lost = 0, last = 0, wrong_size = 0;
};

void report(FILE *to, const Counts &counts, const char *endpoint)
{
    if (counts.received == 0)
        std::fprintf(to, "received 0  lost 0  last -  (no publisher heard from yet on %s)", endpoint);
    else
        std::fprintf(to, "received %llu  lost %llu  last %llu", static_cast<unsigned long long>(counts.received),
                     static_cast<unsigned long long>(counts.lost), static_cast<unsigned long long>(counts.last));
    if (counts.wrong_size > 0)
        std::fprintf(to, "  not packets %llu", static_cast<unsigned long long>(counts.wrong_size));
    std::fputc('\n', to);
    std::fflush(to);
}

void print_csv(const vesk::Packet &packet)
{
    std::printf("%llu,%llu", static_cast<unsigned long long>(packet.sequence),
                static_cast<unsigned long long>(packet.time_ns));
    for (float sample : packet.samples)
        std::printf(",%.6f", static_cast<double>(sample));
    std::putchar('\n');
}

}  // namespace

int main(int argc, char **argv)
{
    bool csv = argc > 1 && std::strcmp(argv[1], "--csv") == 0;
    int first = csv ? 2 : 1;
    if (argc > first + 1 || (argc == first + 1 && argv[first][0] == '-')) {
        std::fprintf(stderr, "usage: vesk-listen [--csv] [ENDPOINT]   (default %s)\n", vesk::kDefaultEndpoint);
        return 2;
    }
    const char *endpoint = argc > first ? argv[first] : vesk::kDefaultEndpoint;
    FILE *counts_to = csv ? stderr : stdout;
    void *context = zmq_ctx_new();
    void *subscriber = zmq_socket(context, ZMQ_SUB);
    zmq_setsockopt(subscriber, ZMQ_SUBSCRIBE, "", 0);
    // A second of the fastest stream, so a listener the scheduler holds up loses nothing.
    int queue = vesk::kMaxRate;
    zmq_setsockopt(subscriber, ZMQ_RCVHWM, &queue, sizeof queue);
    if (zmq_connect(subscriber, endpoint) != 0) {
        std::fprintf(stderr, "vesk-listen: cannot connect to %s: %s\n", endpoint, zmq_strerror(zmq_errno()));
        return 1;
    }
    std::fprintf(counts_to, "listening on %s\n", endpoint);
    std::fflush(counts_to);
    if (csv) {
        std::printf("sequence,time_ns");
        for (int c = 0; c < vesk::kChannels; ++c)
            std::printf(",channel%d", c);
        std::putchar('\n');
        std::fflush(stdout);
    }

    // Packets published before this subscriber joined are not counted as lost.
    Counts counts;
    auto next_report = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now >= next_report) {
            report(counts_to, counts, endpoint);
            // One report after the listener was stopped (Ctrl+Z, fg), not one per second missed.
            next_report = now - next_report >= std::chrono::seconds(1) ? now + std::chrono::seconds(1)
                                                                       : next_report + std::chrono::seconds(1);
            continue;
        }
        zmq_pollitem_t item = {subscriber, 0, ZMQ_POLLIN, 0};
        long wait = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(next_report - now).count());
        if (zmq_poll(&item, 1, wait) <= 0) {
            if (csv)
                std::fflush(stdout);
            continue;
        }
        unsigned char message[vesk::kMessageSize + 1];
        int size = zmq_recv(subscriber, message, sizeof message, 0);
        if (size < 0)
            continue;
        if (size != static_cast<int>(vesk::kMessageSize)) {
            ++counts.wrong_size;
            continue;
        }
        vesk::Packet packet = vesk::decode(message);
        if (counts.received > 0 && packet.sequence <= counts.last) {
            std::fprintf(counts_to, "sequence went back from %llu to %llu: the device restarted; counting afresh\n",
                         static_cast<unsigned long long>(counts.last), static_cast<unsigned long long>(packet.sequence));
            counts = Counts{0, 0, 0, counts.wrong_size};
        }
        if (counts.received > 0)
            counts.lost += packet.sequence - counts.last - 1;
        counts.last = packet.sequence;
        ++counts.received;
        if (csv)
            print_csv(packet);
    }
}
