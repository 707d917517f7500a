#pragma once

#include <cstddef>

// Where the lost-packet log goes: a file of the platform's own, kept open for the process.
struct LogFile;

// The file at `path` (in the platform's own form), opened for appending; null when it cannot
// be opened, with the reason in `why`.
LogFile *log_file_open(const char *path, const char **why);

// Standard error, as a log destination.
LogFile *log_file_standard_error();

// Appends `size` bytes, a whole line or more, in one write, unless the destination cannot
// take them without waiting: a log nobody drains must not hold up the device thread or the
// close. Returns false when they were dropped.
bool log_file_write(LogFile *file, const char *text, size_t size);
