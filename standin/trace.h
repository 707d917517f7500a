#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

// The platform's part of trace(): appends the line in one write to VESK_DEVICE_TRACE's file,
// if one is named, never waiting for it.
void trace_append(const char *line, size_t size) noexcept;

// Records `event` as a line of the call trace (vesk/call_trace.h), if one is asked for.
inline void trace(const char *event) noexcept
{
    char line[256];
    size_t n = std::min(std::strlen(event), sizeof line - 1);
    std::memcpy(line, event, n);
    line[n++] = '\n';
    trace_append(line, n);
}
