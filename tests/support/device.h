#pragma once

// The stand-in's data output as its consumer sees it, for the device cases of both platforms
// and of Linux alone.
#include <stdexcept>
#include <string>
#include <vector>
#include <zmq.h>

#include "support/run.h"
#include "vesk/message.h"

struct Subscriber {
    explicit Subscriber(const std::string &endpoint)
    {
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0);
        zmq_connect(socket, endpoint.c_str());
    }
    ~Subscriber()
    {
        zmq_close(socket);
        zmq_ctx_term(context);
    }
    // The next message as a packet, or false if none came within `ms` milliseconds.
    bool receive(long ms, vesk_packet *packet, size_t *size = nullptr)
    {
        zmq_pollitem_t item = {socket, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, ms) <= 0)
            return false;
        unsigned char message[256] = {};
        int n = zmq_recv(socket, message, sizeof message, 0);
        if (size != nullptr)
            *size = static_cast<size_t>(n);
        *packet = vesk_decode(message);
        return true;
    }
    // The next packet's sequence number, or -1 if none came within `ms` milliseconds.
    int64_t next(long ms)
    {
        vesk_packet packet;
        return receive(ms, &packet) ? static_cast<int64_t>(packet.sequence) : -1;
    }

    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_SUB);
};

// A ZMQ socket bound to a free loopback port, which it holds; `endpoint` gets its address.
struct TakenPort {
    explicit TakenPort(std::string *endpoint)
    {
        char bound[256];
        size_t size = sizeof bound;
        if (zmq_bind(socket, "tcp://127.0.0.1:*") != 0 || zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, bound, &size) != 0)
            throw std::runtime_error("no loopback port");
        *endpoint = bound;
    }
    ~TakenPort()
    {
        int no_linger = 0;
        zmq_setsockopt(socket, ZMQ_LINGER, &no_linger, sizeof no_linger);
        zmq_close(socket);
        zmq_ctx_term(context);
    }

    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_REP);
};

// A TCP endpoint on loopback that nothing listens on: Windows has no ipc transport.
inline std::string free_endpoint()
{
    std::string endpoint;
    TakenPort{&endpoint};
    return endpoint;
}

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

    // Runs a copy whose data output goes to `endpoint`, which cannot be had for `why`: the run
    // ends in order at q all the same, and standard error says what it went without.
    void expect_no_data_output(const std::string &endpoint, const std::string &why, const std::string &name)
    {
        Trace t = trace(name);
        Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint}));
        ASSERT_TRUE(t.wait_for_start());
        quit(server, t);
        const std::string errors = contents(dir_ + "/stderr");
        EXPECT_NE(errors.find(VESK_SAYS_NO_OUTPUT + endpoint + ": " + why), std::string::npos)
            << errors;
    }
};
