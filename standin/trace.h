#pragma once

#include <cstddef>

// The platform's part of trace(): appends the whole line in one write to the file that
// VESK_DEVICE_TRACE names; does nothing when the variable is unset or empty. Never waits for
// the file.
void trace_append(const char *line, size_t size) noexcept;
