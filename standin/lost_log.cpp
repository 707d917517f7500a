#include "lost_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "report.h"
#include "vesk/says.h"

LogFile *open_lost_log(const std::string &path)
{
    if (path.empty())
        return log_file_standard_error();
    std::string why;
    LogFile *file = log_file_open(path.c_str(), &why);
    if (file == nullptr) {
        say("cannot open the lost-packet log %s: %s; logging to standard error", path.c_str(), why.c_str());
        return log_file_standard_error();
    }
    return file;
}

void log_gap(LogFile *log, uint64_t first, uint64_t last)
{
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    char stamp[32], line[96];
    // Only the device thread breaks times down, so gmtime's shared result is safe here.
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", std::gmtime(&seconds));
    int n = first == last
                ? std::snprintf(line, sizeof line, "%s.%03ld" VESK_SAYS_LOST "%llu\n", stamp, millis,
                                static_cast<unsigned long long>(first))
                : std::snprintf(line, sizeof line, "%s.%03ld" VESK_SAYS_LOST "%llu..%llu\n", stamp, millis,
                                static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
    log_file_write(log, line, static_cast<size_t>(n));
}
