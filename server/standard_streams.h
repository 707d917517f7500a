#pragma once

// The server's standard streams, made to hold whatever process starts it: only a q, a real
// end of input or an error that will not go away ends a read.

// How long a read that the console or terminal itself ended waits for the platform's default
// handling to end the process (Ctrl+C, a closed window, a hang-up) before it is believed.
inline constexpr int kConsoleGraceMs = 300;

// Makes writes to a standard output that nobody reads any more fail quietly instead of
// ending the process, so the run still closes the device.
void prepare_standard_streams();

// One byte of standard input as getchar gives it (at a Windows console a double-byte character
// whole, as its lead byte), or EOF once input has ended for good: docs/operator.md says when.
int read_input_byte();
