#pragma once

// The stand-in's data output as its consumers see it, for the device cases.
#include <stdexcept>
#include <zmq.h>

#include "support/run.h"
#include "vesk/message.h"

// A ZMQ socket of `type` in a context of its own, whose close waits `linger_ms` for what it queued.
struct Socket {
    explicit Socket(int type, int linger_ms = 0) : socket(zmq_socket(context, type))
    {
        zmq_setsockopt(socket, ZMQ_LINGER, &linger_ms, sizeof linger_ms);
    }
    ~Socket() { zmq_close(socket); zmq_ctx_term(context); }
    // Whether a message comes within `ms` milliseconds.
    bool wait_in(long ms = kPatience.count() * 1000)
    {
        zmq_pollitem_t item = {socket, 0, ZMQ_POLLIN, 0};
        return zmq_poll(&item, 1, ms) == 1;
    }

    void *context = zmq_ctx_new();
    void *socket;
};

// Bound to a free loopback port, which it holds at `endpoint`.
struct TakenPort : Socket {
    TakenPort() : Socket(ZMQ_REP)
    {
        char bound[256];
        size_t size = sizeof bound;
        if (zmq_bind(socket, "tcp://127.0.0.1:*") != 0 || zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, bound, &size) != 0)
            throw std::runtime_error("no loopback port");
        endpoint = bound;
    }
    std::string endpoint;
};

// A TCP endpoint on loopback that nothing listens on: Windows has no ipc transport.
inline std::string free_endpoint() { return TakenPort().endpoint; }

// Subscribed to everything at `endpoint`, a free one unless given, trying again every `reconnect_ms`.
struct Subscriber : Socket {
    explicit Subscriber(std::string at = free_endpoint(), int reconnect_ms = 100)
        : Socket(ZMQ_SUB), endpoint(std::move(at))
    {
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0);
        zmq_setsockopt(socket, ZMQ_RECONNECT_IVL, &reconnect_ms, sizeof reconnect_ms);
        zmq_connect(socket, endpoint.c_str());
    }
    // The next message's size, decoded into `packet`; -1 if none came within `ms` milliseconds.
    int receive(vesk_packet *packet, long ms = kPatience.count() * 1000)
    {
        unsigned char message[256] = {};
        const int size = wait_in(ms) ? zmq_recv(socket, message, sizeof message, 0) : -1;
        *packet = vesk_decode(message);
        return size;
    }
    // The next packet's sequence number, or -1 if none came within `ms` milliseconds.
    int64_t next(long ms = kPatience.count() * 1000)
    {
        vesk_packet packet;
        return receive(&packet, ms) >= 0 ? static_cast<int64_t>(packet.sequence) : -1;
    }

    const std::string endpoint;
};

class Device : public ServerTest {
protected:
    ChildOptions device_options(std::vector<std::string> env)
    {
        ChildOptions options;
        env.insert(env.begin(), "VESK_DEVICE_LOG=" + dir_ + "/lost.log");  // unless given
        options.env = env;
        options.stderr_path = dir_ + "/stderr";
        return options;
    }

    // A copy with `env` (under prlimit `limit`) ends in order after `stream`'s packet 10 and says `said`.
    void expect_said(const std::vector<std::string> &env, const std::string &said,
                     std::vector<std::string> limit = {}, Subscriber *stream = nullptr)
    {
        SCOPED_TRACE(said);
        Trace t = trace("t" + std::to_string(runs_++));
        if (!limit.empty())
            limit.push_back(target().server);
        Child server = start(t, device_options(env), limit, limit.empty() ? "" : "prlimit");
        ASSERT_TRUE(t.wait_for_start());
        for (int64_t sequence = -1; stream != nullptr && sequence < 10;)
            ASSERT_GE(sequence = stream->next(), 0) << "no stream";
        quit(server, t);
        const std::string errors = contents(dir_ + "/stderr");
        EXPECT_NE(errors.find(said), std::string::npos) << errors;
    }

    int runs_ = 0;
};
