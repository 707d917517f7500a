#include "output.h"

#include <csignal>

// SIGPIPE's default action would kill the server with the device still open.
void survive_closed_output()
{
    std::signal(SIGPIPE, SIG_IGN);
}
