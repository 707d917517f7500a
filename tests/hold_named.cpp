// hold_named mutex|event: holds an object of that kind under the server's lock name,
// says "held", and lets go when its standard input ends.
#include <cstdio>
#include <cstring>
#include <windows.h>

#include "single_instance_lock.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    HANDLE object = std::strcmp(argv[1], "event") == 0 ? CreateEventA(nullptr, TRUE, FALSE, kLockName)
                                                       : CreateMutexA(nullptr, TRUE, kLockName);
    if (object == nullptr)
        return 1;
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(object);
    return 0;
}
