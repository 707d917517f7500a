// What the library does when it is loaded, before the host's main runs.
#include "standin.h"

__attribute__((constructor)) static void on_load()
{
    say_at_load();
    trace("load");
}
