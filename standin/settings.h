#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The stand-in's settings, from the environment, and its limits. VESK_DEVICE_TRACE, read by
// trace.h at each call so that a trace can start at load, is the one setting not here.

// What one run of the device uses: read once, at the first entry point after a close that
// needs them, saying on standard error what it cannot use.
struct Settings {
    std::string endpoint;  // VESK_DEVICE_ENDPOINT: where the publisher binds
    long rate;             // VESK_DEVICE_RATE: packets per second
    long drop_every;       // VESK_DEVICE_DROP_EVERY: the link loses every Nth packet; 0, none
    std::string log;       // VESK_DEVICE_LOG: the lost-packet log's file; empty, standard error
};

// Numbers are plain decimal digits, nothing around them; anything else, or a number out of
// range, gives the default.
Settings read_settings();

// A second of the stream, but no less than libzmq's own 1000 messages, may queue for a
// subscriber that the scheduler holds up; beyond that it loses packets rather than the device
// waiting (about 85 bytes a message).
int queue_for(long rate);

// The most a peer may send in one message: a subscription to a whole packet and then some.
// libzmq keeps every subscription in full, at many times its size.
constexpr int64_t kMostInbound = 256;

// A device thread further behind its schedule than this moves its schedule on.
constexpr std::chrono::seconds kMostBehind{1};

// What a close gives a log's queued lines before it counts them as dropped.
constexpr int kSettleMs = 100;
