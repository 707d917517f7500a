#pragma once

#include <cstdint>
#include <string>

#include "log_file.h"

// The lost-packet log: the file at `path`, or standard error when it is empty or cannot be
// opened (then with a word there). Standard error is a log of its own, so that the stand-in's
// other lines there are never counted as lost-packet lines.
LogFile *open_lost_log(const std::string &path);

// One line per gap, written in one piece: "<UTC time> lost <first>[..<last>]". Only the
// device thread calls it.
void log_gap(LogFile *log, uint64_t first, uint64_t last);
