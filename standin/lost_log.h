#pragma once

#include <cstdint>
#include <string>

#include "log_file.h"

// The lost-packet log: the file at `path`, or standard error when it is empty or cannot be
// opened, as a log apart from the stand-in's own lines there, whose losses count apart.
LogFile *open_lost_log(const std::string &path);

// One line per gap, written in one piece: "<UTC time> lost <first>[..<last>]". Only the
// device thread calls it.
void log_gap(LogFile *log, uint64_t first, uint64_t last);
