#pragma once

#include <string>

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
    // A subscriber that falls behind loses the packet; the device does not wait.
    void send(const vesk_packet &packet);
    // Closes without lingering, so that ending the context does not wait either, and removes
    // the socket file it bound if it is still that one.
    void close();

private:
    void *context_ = nullptr;
    void *socket_ = nullptr;
    std::string socket_path_;  // the socket file it bound, if any
    FileIdentity socket_file_;
};
