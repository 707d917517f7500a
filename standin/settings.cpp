#include "settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "report.h"
#include "vesk/waveform.h"

namespace {

std::string text_of(const char *name)
{
    const char *text = std::getenv(name);
    return text != nullptr ? text : "";
}

// The number in environment variable `name`, or `fallback` when it is unset or not a whole
// number from `min` to `max` (then with a word on standard error).
long number_of(const char *name, long fallback, long min, long max)
{
    const std::string text = text_of(name);
    if (text.empty())
        return fallback;
    errno = 0;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (text.find_first_not_of("0123456789") != std::string::npos || errno != 0 || value < min || value > max) {
        say("%s=%s is not a number from %ld to %ld; using %ld", name, text.c_str(), min, max, fallback);
        return fallback;
    }
    return value;
}

}  // namespace

Settings read_settings()
{
    Settings settings;
    settings.endpoint = text_of("VESK_DEVICE_ENDPOINT");
    if (settings.endpoint.empty())
        settings.endpoint = VESK_DEFAULT_ENDPOINT;
    settings.rate = number_of("VESK_DEVICE_RATE", VESK_DEFAULT_RATE, 1, VESK_MAX_RATE);
    settings.drop_every = number_of("VESK_DEVICE_DROP_EVERY", 0, 0, LONG_MAX);
    settings.log = text_of("VESK_DEVICE_LOG");
    return settings;
}
