#include "publisher.h"

#include <algorithm>
#include <cstdint>
#include <zmq.h>

#include "bounds.h"
#include "endpoint.h"
#include "resources.h"
#include "report.h"
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
    socket_ = context_ != nullptr ? zmq_socket(context_, ZMQ_XPUB) : nullptr;
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
    // Every subscription and unsubscription, a leaving peer's too, is reported (ZMQ_XPUB_VERBOSER,
    // zmq_setsockopt(3)) and counted before each packet.
    int report_all = 1, inbound_queue = kMostSubscriptions;
    zmq_setsockopt(socket_, ZMQ_XPUB_VERBOSER, &report_all, sizeof report_all);
    zmq_setsockopt(socket_, ZMQ_RCVHWM, &inbound_queue, sizeof inbound_queue);
    if (zmq_bind(socket_, endpoint) != 0) {
        say(VESK_SAYS_NO_OUTPUT "%s: %s", endpoint, zmq_strerror(zmq_errno()));
        close();
        return;
    }
    settings_ = settings;
    char bound[256];
    size_t size = sizeof bound;
    if (zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, bound, &size) == 0) {
        // A port given as * is chosen at the bind, and only this line tells a subscriber which.
        if (settings.endpoint.back() == '*')
            say(VESK_SAYS_BOUND "%s", bound);
        settings_.endpoint = bound;
    }
    socket_path_ = socket_path(endpoint);
    if (!socket_path_.empty())
        socket_file_ = file_identity(socket_path_);
}

void Publisher::send(const vesk_packet &packet)
{
    // A subscription is its topic after a byte 1, an unsubscription after a byte 0. A peer can
    // cancel what it never asked for, so only a topic counted is taken off.
    unsigned char report[kMostInbound];
    int size;
    while (!has_too_many_subscriptions() && (size = zmq_recv(socket_, report, sizeof report, ZMQ_DONTWAIT)) >= 0) {
        if (size == 0 || report[0] > 1)
            continue;
        std::string topic(reinterpret_cast<char *>(report) + 1, std::min<size_t>(size, sizeof report) - 1);
        auto counted = subscriptions_.find(topic);
        if (report[0] == 1) {
            ++subscriptions_[topic];
            ++subscribed_;
        } else if (counted != subscriptions_.end()) {
            --subscribed_;
            if (--counted->second == 0)
                subscriptions_.erase(counted);
        }
    }
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
    subscriptions_.clear();
    subscribed_ = 0;
    // libzmq leaves the socket file behind; one that another program has put there since is
    // not ours to remove.
    if (!socket_path_.empty())
        remove_socket_file(socket_path_, socket_file_);
    socket_path_.clear();
}

void Publisher::drop_subscribers()
{
    say(VESK_SAYS_DROPPED_SUBSCRIBERS "%d at once", kMostSubscriptions);
    Settings again = settings_;
    close();
    open(again);
}
