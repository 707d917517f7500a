// host_library PATH: runs the library at PATH as the server does and unloads it; 0 once it and every
// thread it made are gone, 1 if not within 10 s.
#include <cstdio>
#include <windows.h>
#include <tlhelp32.h>

#include "support/child.h"

static int thread_count()
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

int main(int argc, char **argv)
{
    const int before = thread_count();
    HMODULE library = argc == 2 ? LoadLibraryA(argv[1]) : nullptr;
    if (library == nullptr)
        return 2;
    auto entry = [library](const char *name) { return reinterpret_cast<void *>(GetProcAddress(library, name)); };
    reinterpret_cast<void (*)()>(entry("EnableZMQData"))();
    reinterpret_cast<void (*)()>(entry("OpenVeskDevice"))();
    reinterpret_cast<void (*)(const char *, bool)>(entry("SetConfig_Bool"))("bLogPackLost", true);
    reinterpret_cast<void (*)()>(entry("CloseVeskDevice"))();
    FreeLibrary(library);
    if (eventually([&] { return GetModuleHandleA(argv[1]) == nullptr && thread_count() <= before; },
                   std::chrono::seconds(10)))
        return 0;
    std::printf("threads: %d before the load, %d after the unload; library %s\n", before, thread_count(),
                GetModuleHandleA(argv[1]) != nullptr ? "still loaded" : "unloaded");
    return 1;
}
