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

// The most a peer may send in one message: a subscription to a whole packet and then some.
// libzmq keeps every subscription in full, at many times its size.
constexpr int64_t kMostInbound = 256;

// A device thread further behind its schedule than this has lost the race with the machine.
constexpr std::chrono::seconds kMostBehind{1};

// What a close gives a log's queued lines before it counts them as dropped.
constexpr int kSettleMs = 100;
