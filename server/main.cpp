// VeskServer: keeps the device open until the operator types q.
#include <cstdio>

#include "Vesk_Device.h"
#include "lines.h"
#include "single_instance_lock.h"
#include "standard_streams.h"

static void write_line(const char *line)
{
    std::puts(line);
    std::fflush(stdout);
}

int main()
{
    prepare_standard_streams();
    write_line(VESK_START_LINE);

    if (SingleInstanceLock::take() == SingleInstanceLock::Outcome::AlreadyRunning)
        return 0;

    EnableZMQData();
    OpenVeskDevice();
    SetConfig_Bool(VESK_LOG_LOST_KEY, true);

    // Only a lower-case q ends the wait. End of input or a lasting read error ends it too: no q
    // can come any more, and the device must still be closed.
    int c;
    do
        c = read_input_byte();
    while (c != 'q' && c != EOF);

    CloseVeskDevice();

    // The line end after the q is already waiting. After an end of input nothing is read: at a
    // Windows console the end does not stick, and a read would wait for another line.
    if (c == 'q')
        read_input_byte();

    write_line(VESK_CLOSED_LINE);
    return 0;
}
