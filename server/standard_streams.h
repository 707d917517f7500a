#pragma once

// The server's standard streams, made to hold whatever process starts it: only a q, a real
// end of input or an error that will not go away ends a read.

// How long a read that the console or terminal itself ended waits for the platform's default
// handling to end the process (Ctrl+C, a closed window, a hang-up) before it is believed.
inline constexpr int kConsoleGraceMs = 300;

// Makes writes to a standard output that nobody reads any more fail quietly instead of
// ending the process, so the run still closes the device.
void prepare_standard_streams();

// One byte of standard input, as getchar gives it, or EOF at the end of input or on an
// error that will not go away; interrupted and would-block reads are retried, waiting
// without spending processor time. An end that came from the console or terminal going away
// or being interrupted is returned only after kConsoleGraceMs, if the process still lives. A
// read that fails because the process is a background job of its terminal waits, without
// spending processor time, until the job can read again; an orphaned job's input has ended.
int read_input_byte();
