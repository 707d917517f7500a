#pragma once

#include <cstddef>

// The platform's part of trace(): appends the line in one write to VESK_DEVICE_TRACE's file,
// if one is named, never waiting for it.
void trace_append(const char *line, size_t size) noexcept;
