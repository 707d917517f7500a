#include "standard_streams.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

// Windows raises no signal for a write to a pipe nobody reads; the write just fails.
// Closed standard descriptors need no step: a handle that a DLL opens never becomes one.
void prepare_standard_streams()
{
}

namespace {

bool input_is_console()
{
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdin))), &mode);
}

// Ctrl+C and Ctrl+Break cancel a pending console read, which returns no bytes like Ctrl+Z and
// Enter, a moment before the default handler ends the process: so that end waits the grace.
int read_byte(bool console)
{
    int c = std::getchar();
    if (c == EOF && console && std::feof(stdin))
        Sleep(kConsoleGraceMs);
    return c;
}

}  // namespace

// In the double-byte code pages (932, 936, 949, 950) 0x71 is also a trail byte (ヒ is 0x83 0x71
// in 932): a lead byte's character is read whole, and its lead byte stands for it.
int read_input_byte()
{
    const bool console = input_is_console();
    int c = read_byte(console);
    if (c != EOF && console && IsDBCSLeadByteEx(GetConsoleCP(), static_cast<BYTE>(c)) && read_byte(console) == EOF)
        return EOF;
    return c;
}
