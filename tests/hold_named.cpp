// hold_named mutex|event: holds an object of that kind under the server's lock name, says
// "held", and lets go when its standard input ends. hold_named library PATH: a LoadLibrary host.
#include <cstdio>
#include <cstring>
#include <windows.h>
#include <tlhelp32.h>

#include "single_instance_lock.h"

namespace {

int thread_count()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return n;
}

template <typename Function>
Function entry(HMODULE library, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

// Runs the library at `path` as the server does, unloads it, and ends with 0 once it is gone
// with every thread it made, or with 1 if that has not happened within 10 s.
int host(const char *path)
{
    const int before = thread_count();
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr)
        return 2;
    entry<void (*)()>(library, "EnableZMQData")();
    entry<void (*)()>(library, "OpenVeskDevice")();
    entry<void (*)(const char *, bool)>(library, "SetConfig_Bool")("bLogPackLost", true);
    entry<void (*)()>(library, "CloseVeskDevice")();
    FreeLibrary(library);
    for (int waited = 0; waited < 1000; ++waited) {
        if (GetModuleHandleA(path) == nullptr && thread_count() <= before)
            return 0;
        Sleep(10);
    }
    std::printf("threads: %d before the load, %d after the unload; library %s\n", before, thread_count(),
                GetModuleHandleA(path) != nullptr ? "still loaded" : "unloaded");
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "library") == 0)
        return host(argv[2]);
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
