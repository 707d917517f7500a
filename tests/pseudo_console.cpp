// pseudo_console REPORT PROGRAM: runs PROGRAM at a console of its own, as a console window's
// shell would, with the console as its standard handles. Bytes on our standard input are typed
// at the console ("\r" is Enter, "\x03" Ctrl+C, "\x1a" Ctrl+Z); what the console shows comes out
// on our standard output, VT sequences and all. When our input ends, the console is closed, as
// a console window is. Once PROGRAM has ended, however, "[program ended]" comes out, and we
// end when both it has ended and our input has. REPORT gets "pid N" when PROGRAM starts and
// "status S cpu MS" (processor time) when it ends, unless the console ends us first.
#define _WIN32_WINNT 0x0A00
#define NTDDI_VERSION 0x0A000006
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

HANDLE g_screen;      // what the console shows
const char *g_report;

void say(const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// Waits for PROGRAM by the number the process inside reports, for as long as that one may live.
DWORD WINAPI watch(void *)
{
    unsigned long pid = 0;
    for (int i = 0; i < 6000 && pid == 0; ++i) {
        if (FILE *f = std::fopen(g_report, "r")) {
            if (std::fscanf(f, "pid %lu", &pid) != 1)
                pid = 0;
            std::fclose(f);
        }
        if (pid == 0)
            Sleep(10);
    }
    if (HANDLE program = pid != 0 ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr)
        WaitForSingleObject(program, INFINITE);
    say("\r\n[program ended]\r\n");
    return 0;
}

DWORD WINAPI show(void *)
{
    char buffer[4096];
    DWORD n;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written;
    while (ReadFile(g_screen, buffer, sizeof buffer, &n, nullptr) && n > 0)
        WriteFile(out, buffer, n, &written, nullptr);
    return 0;
}

// Inside the console: a process started straight into a pseudo console gets no usable
// standard handles under Wine, so this one opens the console and hands it to PROGRAM.
int run_program(const char *report, const char *program)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process;
    std::string command = std::string("\"") + program + "\"";
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 1;
    if (FILE *f = std::fopen(report, "w")) {
        std::fprintf(f, "pid %lu\n", process.dwProcessId);
        std::fclose(f);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user);
    ULONGLONG ticks = (ULONGLONG(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
                      (ULONGLONG(user.dwHighDateTime) << 32 | user.dwLowDateTime);
    if (FILE *f = std::fopen(report, "a")) {
        std::fprintf(f, "status %lu cpu %llu\n", status, ticks / 10000);
        std::fclose(f);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--inside") == 0)
        return run_program(argv[2], argv[3]);
    if (argc != 3)
        return 2;

    HANDLE keys_read, keys, screen_write;
    if (!CreatePipe(&keys_read, &keys, nullptr, 0) || !CreatePipe(&g_screen, &screen_write, nullptr, 0))
        return 1;
    HPCON console;
    if (FAILED(CreatePseudoConsole({80, 25}, keys_read, screen_write, 0, &console)))
        return 1;

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string list(size, '\0');
    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size);
    UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console,
                              sizeof console, nullptr, nullptr);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" --inside \"" + argv[1] + "\" \"" + argv[2] + "\"";
    PROCESS_INFORMATION inside;
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, EXTENDED_STARTUPINFO_PRESENT, nullptr,
                        nullptr, &startup.StartupInfo, &inside))
        return 1;
    CloseHandle(CreateThread(nullptr, 0, show, nullptr, 0, nullptr));
    g_report = argv[1];
    HANDLE watcher = CreateThread(nullptr, 0, watch, nullptr, 0, nullptr);

    char byte;
    DWORD n;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, &byte, 1, &n, nullptr) && n == 1)
        WriteFile(keys, &byte, 1, &n, nullptr);
    ClosePseudoConsole(console);
    WaitForSingleObject(watcher, INFINITE);
    return 0;
}
