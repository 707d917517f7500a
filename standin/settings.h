#pragma once

#include <string>

// The stand-in's settings, from the environment. VESK_DEVICE_TRACE, read by trace.h at each
// call so that a trace can start at load, is the one setting not here.

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
