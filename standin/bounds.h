#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

// What the stand-in allows itself and its peers: queues, messages, delays.

// A second of the stream (no less than libzmq's default 1000 messages, about 85 bytes each) may
// queue for a slow subscriber; beyond that it loses packets rather than the device waiting.
inline int queue_for(long rate)
{
    return static_cast<int>(std::max(1000L, rate));
}

// The most a peer may send in one message: a subscription to a whole packet (49 bytes) or a
// READY; libzmq keeps every subscription in full, at some 40 times its size.
constexpr int64_t kMostInbound = 64;

// The most subscriptions the publisher keeps at once among all its subscribers: a consumer
// of the binary stream takes everything, or a short prefix, in one.
constexpr int kMostSubscriptions = 64;

// A device thread further behind its schedule than this moves its schedule on.
constexpr std::chrono::seconds kMostBehind{1};

// What a close gives a log's queued lines before it counts them as dropped.
constexpr int kSettleMs = 100;
