#pragma once

// Appends `event` and a newline, in one write, to the file that VESK_DEVICE_TRACE names;
// does nothing when the variable is unset or empty.
void trace(const char *event);
