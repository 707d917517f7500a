#include "publisher.h"

#include <cstdint>
#include <zmq.h>

#include "endpoint.h"
#include "resources.h"
#include "standin.h"
#include "vesk/says.h"

void Publisher::open(const Settings &settings)
{
    const char *endpoint = settings.endpoint.c_str();
    std::string why = endpoint_refusal(endpoint);
    if (why.empty())
        why = missing_resources();
    if (!why.empty()) {
        say(VESK_SAYS_NO_OUTPUT "%s: %s", endpoint, why.c_str());
        return;
    }
    context_ = zmq_ctx_new();
    socket_ = context_ != nullptr ? zmq_socket(context_, ZMQ_PUB) : nullptr;
    if (socket_ == nullptr) {
        say(VESK_SAYS_NO_OUTPUT "%s: %s", endpoint, zmq_strerror(zmq_errno()));
        close();
        return;
    }
    int no_linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &no_linger, sizeof no_linger);
    // The kernel's send buffer is left to grow: capping it moves what it would hold into the
    // host's own memory.
    int queue = queue_for(settings.rate);
    zmq_setsockopt(socket_, ZMQ_SNDHWM, &queue, sizeof queue);
    int64_t most_inbound = kMostInbound;
    zmq_setsockopt(socket_, ZMQ_MAXMSGSIZE, &most_inbound, sizeof most_inbound);
    if (zmq_bind(socket_, endpoint) != 0) {
        say(VESK_SAYS_NO_OUTPUT "%s: %s", endpoint, zmq_strerror(zmq_errno()));
        close();
        return;
    }
    // A port given as * is chosen at the bind, and only this line tells a subscriber which.
    char bound[256];
    size_t size = sizeof bound;
    if (settings.endpoint.back() == '*' && zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, bound, &size) == 0)
        say(VESK_SAYS_BOUND "%s", bound);
    socket_path_ = socket_path(endpoint);
    if (!socket_path_.empty())
        socket_file_ = file_identity(socket_path_);
}

void Publisher::send(const vesk_packet &packet)
{
    unsigned char message[VESK_MESSAGE_SIZE];
    vesk_encode(&packet, message);
    zmq_send(socket_, message, sizeof message, ZMQ_DONTWAIT);
}

void Publisher::close()
{
    if (socket_ != nullptr)
        zmq_close(socket_);
    if (context_ != nullptr)
        zmq_ctx_term(context_);
    socket_ = context_ = nullptr;
    // libzmq leaves the socket file behind; one that another program has put there since is
    // not ours to remove.
    if (!socket_path_.empty())
        remove_socket_file(socket_path_, socket_file_);
    socket_path_.clear();
}
