// vesk-listen [ENDPOINT]: subscribes to the device library's data output and prints, once a
// second, how many packets arrived, how many the sequence numbers show as lost, and the
// last sequence number. Ctrl+C ends it.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <zmq.h>

int main(int argc, char **argv)
{
    const char *endpoint = argc > 1 ? argv[1] : "tcp://127.0.0.1:5555";
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: vesk-listen [ENDPOINT]   (default tcp://127.0.0.1:5555)\n");
        return 2;
    }
    void *context = zmq_ctx_new();
    void *subscriber = zmq_socket(context, ZMQ_SUB);
    zmq_setsockopt(subscriber, ZMQ_SUBSCRIBE, "", 0);
    // A second of the fastest stream, so a listener the scheduler holds up loses nothing.
    int queue = 100000;
    zmq_setsockopt(subscriber, ZMQ_RCVHWM, &queue, sizeof queue);
    if (zmq_connect(subscriber, endpoint) != 0) {
        std::fprintf(stderr, "vesk-listen: cannot connect to %s: %s\n", endpoint, zmq_strerror(zmq_errno()));
        return 1;
    }
    std::printf("listening on %s\n", endpoint);
    std::fflush(stdout);

    // Packets published before this subscriber joined are not counted as lost.
    uint64_t received = 0, lost = 0, last = 0;
    auto report = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(report - std::chrono::steady_clock::now());
        zmq_pollitem_t item = {subscriber, 0, ZMQ_POLLIN, 0};
        if (left.count() > 0 && zmq_poll(&item, 1, static_cast<long>(left.count())) > 0) {
            unsigned char message[64];
            int size = zmq_recv(subscriber, message, sizeof message, 0);
            if (size < 8)
                continue;
            uint64_t sequence = 0;
            for (int i = 7; i >= 0; --i)
                sequence = sequence << 8 | message[i];
            if (received > 0 && sequence > last + 1)
                lost += sequence - last - 1;
            last = sequence;
            ++received;
            continue;
        }
        if (received > 0)
            std::printf("received %llu  lost %llu  last %llu\n", static_cast<unsigned long long>(received),
                        static_cast<unsigned long long>(lost), static_cast<unsigned long long>(last));
        else
            std::printf("received 0  lost 0  last -\n");
        std::fflush(stdout);
        report += std::chrono::seconds(1);
    }
}
