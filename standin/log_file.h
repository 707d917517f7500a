#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Where the lost-packet log and the stand-in's own lines go, open for the process. Nothing here
// waits for the destination: a log nobody drains must hold up neither the device nor the host.
struct LogFile;

// The file at `path` (in the platform's own form), opened for appending without waiting (a FIFO
// nobody reads is refused); null when it cannot be, with the reason in `why`.
LogFile *log_file_open(const char *path, std::string *why);

// Standard error as a log destination of its own: each one counts its losses apart.
LogFile *log_file_standard_error();

// Appends `size` bytes, whole lines, in one write, unless the destination cannot take them at
// once; what is dropped or fails is counted.
void log_file_write(LogFile *file, const char *text, size_t size);

// log_file_write without a writer thread, for the line at load: a thread made then runs only
// after the host has begun writing. What cannot go at once is dropped or queued.
void log_file_write_now(LogFile *file, const char *text, size_t size);

// What became of the lines given to a log since the last call.
struct LogLosses {
    uint64_t dropped = 0;  // the destination would not take them at once
    uint64_t failed = 0;   // the write failed
    std::string error;     // why the last failed write did
};

// Gives lines still queued up to `wait_ms` to be written (counting those then still queued as
// dropped), and returns and resets the counts.
LogLosses log_file_drain(LogFile *file, int wait_ms);

