#pragma once

#include "log_file.h"

// What the stand-in tells on standard error.

// say()'s format checked as printf's: by SAL's annotation with MSVC, which has no attributes
// of GCC's kind, and by GCC's attribute elsewhere.
#ifdef _MSC_VER
#include <sal.h>
#define VESK_PRINTF_FORMAT _Printf_format_string_
#define VESK_PRINTF_CHECK
#else
#define VESK_PRINTF_FORMAT
#define VESK_PRINTF_CHECK __attribute__((format(printf, 1, 2)))
#endif

// One line on standard error, "Vesk_Device: " and the formatted text, on log_file.h's terms.
void say(VESK_PRINTF_FORMAT const char *format, ...) noexcept VESK_PRINTF_CHECK;

// The line that says at load that this is a stand-in: written at once or dropped and counted,
// never queued, since a thread made at load runs only after the host has begun writing.
void say_at_load() noexcept;

// Says how many of `lines` given to a log were dropped or failed, if any; `destination` names
// what would not take them at once.
void say_losses(const LogLosses &losses, const char *lines, const char *destination) noexcept;

// Gives say()'s queued lines up to `wait_ms` to be written, then says how many of its lines
// were lost since the last call.
void say_drain(int wait_ms) noexcept;

