#pragma once

// The server's standard streams, made to hold whatever process starts it: only a q, a real
// end of input or an error that will not go away ends a read.

// Makes writes to a standard output that nobody reads any more fail quietly instead of
// ending the process, so the run still closes the device.
void prepare_standard_streams();

// One byte of standard input, as getchar gives it, or EOF at the end of input or on an
// error that will not go away; interrupted and would-block reads are retried, waiting
// without spending processor time.
int read_input_byte();
