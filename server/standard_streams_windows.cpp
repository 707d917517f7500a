#include "standard_streams.h"

#include <cstdio>

// Windows raises no signal for a write to a pipe nobody reads; the write just fails.
// Closed standard descriptors need no step: a handle that a DLL opens never becomes one.
void prepare_standard_streams()
{
}

// No signal interrupts a read here, and the C runtime's reads of a console, pipe or file
// always block.
int read_input_byte()
{
    return std::getchar();
}
