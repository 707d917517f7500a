#include "resources.h"

// A process's handles are limited only by the system's memory, which libzmq's own error paths
// cover; there is no per-process count to run out of.
bool can_spare_descriptors(int)
{
    return true;
}
