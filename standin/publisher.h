#pragma once

#include <map>
#include <string>

#include "bounds.h"
#include "settings.h"
#include "socket_file.h"
#include "vesk/message.h"

// The data output: a ZMQ publisher that never waits for a subscriber and never takes more
// from one than a subscription needs.
class Publisher {
public:
    // Binds on the settings' endpoint, or says on standard error why there is no data output.
    void open(const Settings &settings);
    bool is_open() const { return socket_ != nullptr; }
    // A subscriber that falls behind loses the packet; the device does not wait. First counts
    // the subscriptions that have come and gone.
    void send(const vesk_packet &packet);
    // libzmq 4.3 keeps every subscription in full, also in manual mode, and cannot drop one
    // peer; so past kMostSubscriptions at once the publisher drops them all (below).
    bool has_too_many_subscriptions() const { return subscribed_ > kMostSubscriptions; }
    // Closes, dropping every subscriber, says so, and opens again on the endpoint it had.
    void drop_subscribers();
    // Closes without lingering, so that ending the context does not wait either, and removes
    // the socket file it bound if it is still that one.
    void close();

private:
    Settings settings_;  // as last opened, with the endpoint that was bound
    void *context_ = nullptr;
    void *socket_ = nullptr;
    std::string socket_path_;  // the socket file it bound, if any
    FileIdentity socket_file_;
    std::map<std::string, int> subscriptions_;  // each topic's subscribers, as the XPUB reports them
    int subscribed_ = 0;                        // their sum
};
