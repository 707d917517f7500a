#include "standard_streams.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

// Windows raises no signal for a write to a pipe nobody reads; the write just fails.
// Closed standard descriptors need no step: a handle that a DLL opens never becomes one.
void prepare_standard_streams()
{
}

// No signal interrupts a read here, and the C runtime's reads of a console, pipe or file
// always block. But Ctrl+C and Ctrl+Break at a console cancel the pending console read, which
// then returns no bytes, like an end of file, a moment before the default handler ends the
// process from a thread of its own; so an empty console read is believed only after the grace.
// Ctrl+Z and Enter give the same empty read, and end the wait after the grace too. Reading
// again instead would spin: the C runtime may keep returning end of file without a read.
int read_input_byte()
{
    int c = std::getchar();
    DWORD mode;
    if (c == EOF && std::feof(stdin) &&
        GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdin))), &mode))
        Sleep(kConsoleGraceMs);
    return c;
}
