#include "child.h"

// Pseudo console calls are looked up at run time: importing them stops the start before Windows 10 1809.
#define NTDDI_VERSION 0x0A000006
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <utility>

#include "single_instance_lock.h"

namespace {

const char kInsideConsole[] = "--inside-console";
const char kProgram[] = "[program:";  // the console's helper says "[program:PID:THREAD]"
const char kProgramEnded[] = "[the program has ended]";

using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + " failed: error " + std::to_string(GetLastError()));
}

// The tests' narrow strings are UTF-8 here, as a path's u8string() gives them.
std::wstring wide(const std::string &text) { return std::filesystem::u8path(text).wstring(); }

// Each argument in quotes, enough for the tests': none holds a quote or ends in a backslash.
std::wstring command_line(const std::vector<std::string> &argv)
{
    std::wstring line;
    for (const std::string &arg : argv) {
        if (arg.find('"') != std::string::npos || (!arg.empty() && arg.back() == '\\'))
            throw std::invalid_argument("an argument with a quote, or a backslash at its end: " + arg);
        line += (line.empty() ? L"\"" : L" \"") + wide(arg) + L"\"";
    }
    return line;
}

const auto g_create_console = reinterpret_cast<decltype(&CreatePseudoConsole)>(
    reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreatePseudoConsole")));
const auto g_close_console = reinterpret_cast<decltype(&ClosePseudoConsole)>(
    reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ClosePseudoConsole")));

// Each program's main thread as its starter named it: Toolhelp's order and creation times do not tell.
std::map<DWORD, DWORD> g_main_threads;

// Starts suspended in `console`, or with only `standard` inherited (not CTest's pipes); one thread starts.
PROCESS_INFORMATION start_process(std::wstring command, const std::vector<HANDLE> &standard, HPCON console,
                                  const std::vector<std::string> &env = {}, const std::wstring &cwd = L"")
{
    // The `env` entries are ours for the start only: the tests start programs from one thread.
    std::vector<std::pair<std::wstring, std::wstring>> saved;  // an empty value as none, as `set NAME=` has it
    for (const std::string &entry : env) {
        const std::wstring w = wide(entry), name = w.substr(0, w.find(L'='));
        std::wstring value(32767, L'\0');  // the longest value Windows takes
        value.resize(GetEnvironmentVariableW(name.c_str(), value.data(), 32767));
        saved.emplace_back(name, value);
        SetEnvironmentVariableW(name.c_str(), w.c_str() + name.size() + 1);
    }
    // Inherited by children: a DLL the loader cannot find fails the start instead of showing a box.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
    std::vector<HANDLE> inherited;  // each once, as the list takes them
    for (HANDLE h : standard)
        if (console == nullptr && h != nullptr && h != INVALID_HANDLE_VALUE &&
            std::find(inherited.begin(), inherited.end(), h) == inherited.end())
            inherited.push_back(h);
    for (HANDLE h : inherited)
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = console == nullptr ? STARTF_USESTDHANDLES : 0;
    startup.StartupInfo.hStdInput = standard[0];
    startup.StartupInfo.hStdOutput = standard[1];
    startup.StartupInfo.hStdError = standard[2];
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size);
    if (console != nullptr)
        UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console,
                                  sizeof console, nullptr, nullptr);
    else
        UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                  inherited.size() * sizeof(HANDLE), nullptr, nullptr);
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, !inherited.empty(),
                                        CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                        cwd.empty() ? nullptr : cwd.c_str(), &startup.StartupInfo, &process);
    const DWORD error = GetLastError();
    for (auto it = saved.rbegin(); it != saved.rend(); ++it)
        SetEnvironmentVariableW(it->first.c_str(), it->second.empty() ? nullptr : it->second.c_str());
    DeleteProcThreadAttributeList(startup.lpAttributeList);
    for (HANDLE h : inherited)  // ours too: a start inherits only the handles it lists
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    if (!started)
        throw std::runtime_error("cannot start the program: error " + std::to_string(error));
    return process;
}

// Neither end is inheritable until a start makes it so.
void make_pipe(HANDLE *read, HANDLE *write, DWORD size)
{
    if (!CreatePipe(read, write, nullptr, size))
        fail("CreatePipe");
}

std::filesystem::path self_path()
{
    std::wstring self(32768, L'\0');  // the longest path Windows takes
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    return self;
}

}  // namespace

struct Child::Impl {
    HANDLE job = nullptr;
    HANDLE process = nullptr;  // the program's
    HANDLE thread = nullptr;   // the first thread started, while it is suspended
    DWORD pid = 0;
    HANDLE in = nullptr;       // our end of its input, or the keys typed at its console
    HANDLE in_read = nullptr;  // a copy of its end of the input, to see what it has not read
    HANDLE out = nullptr;      // what it writes, or its console shows; read only when asked
    HANDLE err = nullptr;      // the undrained standard error
    HPCON console = nullptr;
    HANDLE inside = nullptr;   // the process that hands the console to the program
    std::string text;          // read from `out` so far
    int status = -1;

    // The program's standard error as the options ask; `made` gets a handle made for it, ours to close.
    HANDLE standard_error(const ChildOptions &options, HANDLE out_write, HANDLE *made)
    {
        if (!options.stderr_path.empty())
            return *made = CreateFileW(wide(options.stderr_path).c_str(), GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!options.stderr_undrained && !options.stderr_full)
            return options.stderr_to_stdout ? out_write : GetStdHandle(STD_ERROR_HANDLE);
        make_pipe(&err, made, 64 * 1024);  // as a Linux pipe holds
        if (options.stderr_full) {         // no room left from the start
            DWORD no_wait = PIPE_NOWAIT, wait = PIPE_WAIT, n = 1;
            const std::string block(4096, 'x');
            SetNamedPipeHandleState(*made, &no_wait, nullptr, nullptr);
            while (WriteFile(*made, block.data(), 4096, &n, nullptr) && n > 0) {}
            SetNamedPipeHandleState(*made, &wait, nullptr, nullptr);
        }
        return *made;
    }

    // Reads what is waiting in `out`, without waiting for more; false once no writer is left.
    bool drain()
    {
        for (DWORD n = 0; out != nullptr && PeekNamedPipe(out, nullptr, 0, nullptr, &n, nullptr);) {
            if (n == 0)
                return true;
            std::string chunk(n, '\0');
            if (!ReadFile(out, chunk.data(), n, &n, nullptr))
                return false;
            text.append(chunk, 0, n);
        }
        return false;
    }

    bool shows(const char *marker) { drain(); return text.find(marker) != std::string::npos; }

    // Runs as the program the console's helper names; the helper's handle keeps that id from reuse.
    void find_program_in_console()
    {
        std::swap(inside, process);
        DWORD thread_id = 0;
        eventually([&] {
            const size_t at = shows(kProgram) ? text.find(kProgram) + std::strlen(kProgram) : std::string::npos;
            return (at != std::string::npos && std::sscanf(text.c_str() + at, "%lu:%lu]", &pid, &thread_id) == 2) ||
                   WaitForSingleObject(inside, 0) == WAIT_OBJECT_0;
        });
        if (thread_id != 0)
            process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
        if (process == nullptr)
            throw std::runtime_error("the program did not start in the console");
        g_main_threads[pid] = thread_id;
    }

    void close_console() { if (console != nullptr) g_close_console(std::exchange(console, nullptr)); }

    // Reads all it wrote: to the helper's kProgramEnded, else until the console is gone (slow on Wine).
    void finish_output()
    {
        if (console != nullptr &&
            eventually([&] { return shows(kProgramEnded) || WaitForSingleObject(inside, 0) == WAIT_OBJECT_0; }) &&
            shows(kProgramEnded))
            return;
        close_console();
        eventually([&] { return !drain(); });
    }

    // TerminateJobObject returns before the processes end and free their files (Microsoft, TerminateProcess).
    ~Impl()
    {
        TerminateJobObject(job, 1);  // with no job made, this and the query fail at once
        eventually([&] {
            JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
            return !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr) ||
                   info.ActiveProcesses == 0;
        });
        close_console();
        for (HANDLE h : {job, process, thread, in, in_read, out, err, inside})
            if (h != nullptr)
                CloseHandle(h);
    }
};

Child::Child(const std::vector<std::string> &argv, const ChildOptions &options) : impl_(new Impl)
{
    Impl &c = *impl_;
    // Ends everything in it once closed, also when the tests end first; a program's children join it.
    c.job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION kill_on_close = {};
    kill_on_close.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(c.job, JobObjectExtendedLimitInformation, &kill_on_close, sizeof kill_on_close))
        fail("making a job object");
    HANDLE out_write = nullptr, err_write = nullptr;
    make_pipe(&c.in_read, &c.in, 0);
    make_pipe(&c.out, &out_write, 1 << 20);  // what a program writes never waits for output()
    std::wstring command = command_line(argv);
    // Under Wine a program started straight into a pseudo console has no standard handles: a copy of
    // this program hands it the console, the simplest way for the one console case.
    if (options.terminal) {
        if (g_create_console == nullptr || FAILED(g_create_console({80, 25}, c.in_read, out_write, 0, &c.console)))
            throw std::runtime_error("CreatePseudoConsole failed");
        const std::string code_page = std::to_string(options.code_page);
        command = command_line({self_path().u8string(), kInsideConsole, code_page}) + L" " + command;
    }
    if (options.stdout_closed)
        CloseHandle(std::exchange(c.out, nullptr));
    const std::vector<HANDLE> standard = {c.in_read, out_write, c.standard_error(options, out_write, &err_write)};
    const PROCESS_INFORMATION started = start_process(command, standard, c.console, options.env, wide(options.cwd));
    c.process = started.hProcess;
    c.thread = started.hThread;
    c.pid = started.dwProcessId;
    g_main_threads[c.pid] = started.dwThreadId;
    for (HANDLE h : {out_write, err_write})
        CloseHandle(h);
    if (!AssignProcessToJobObject(c.job, c.process)) {
        TerminateProcess(c.process, 1);
        fail("AssignProcessToJobObject");
    }
    if (!options.suspended)
        resume();
    if (options.terminal)
        c.find_program_in_console();
}

Child::Child(Child &&other) noexcept = default;

Child::~Child() = default;

void Child::resume() { ResumeThread(impl_->thread); CloseHandle(std::exchange(impl_->thread, nullptr)); }

int Child::pid() const { return static_cast<int>(impl_->pid); }

int Child::undrained_errors() const
{
    DWORD pending = 0;
    PeekNamedPipe(impl_->err, nullptr, 0, nullptr, &pending, nullptr);
    return static_cast<int>(pending);
}

void Child::send(const std::string &bytes)
{
    DWORD n = 0;
    if (impl_->in == nullptr || !WriteFile(impl_->in, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) ||
        n != bytes.size())
        throw std::runtime_error("the program no longer reads its input");
}

void Child::close_input() { CloseHandle(std::exchange(impl_->in, nullptr)); impl_->close_console(); }

bool Child::wait_for_input_read()
{
    return eventually([&] {
        DWORD pending = 1;
        return PeekNamedPipe(impl_->in_read, nullptr, 0, nullptr, &pending, nullptr) && pending == 0;
    });
}

bool Child::running()
{
    Impl &c = *impl_;
    if (c.status >= 0 || WaitForSingleObject(c.process, 0) == WAIT_TIMEOUT)
        return c.status < 0;
    DWORD status = 1;
    GetExitCodeProcess(c.process, &status);
    c.status = static_cast<int>(status);
    return false;
}

int Child::wait()
{
    if (!eventually([&] { return !running(); }))
        return -1;
    impl_->finish_output();
    return impl_->status;
}

void Child::kill() { TerminateProcess(impl_->process, 1); }

std::string Child::output() { impl_->drain(); return impl_->text; }

long resident_kb(int pid)
{
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)), CloseHandle);
    PROCESS_MEMORY_COUNTERS counters = {};
    if (!process || !GetProcessMemoryInfo(process.get(), &counters, sizeof counters))
        return -1;
    return static_cast<long>(counters.WorkingSetSize / 1024);
}

long main_thread_cpu_ms(int pid)
{
    const DWORD thread_id = g_main_threads.count(pid) ? g_main_threads[pid] : 0;
    const Handle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread_id), CloseHandle);
    FILETIME created, exited, kernel, user;
    if (!thread || !GetThreadTimes(thread.get(), &created, &exited, &kernel, &user))
        return -1;
    auto ticks = [](FILETIME t) { return ULARGE_INTEGER{{t.dwLowDateTime, t.dwHighDateTime}}.QuadPart; };
    return static_cast<long>((ticks(kernel) + ticks(user)) / 10000);  // FILETIME counts 100 ns
}

std::string program_folder() { return self_path().parent_path().u8string(); }

std::string make_private_namespaces() { return ""; }

std::string lock_name_in_use()
{
    const Handle mutex(OpenMutexA(SYNCHRONIZE, FALSE, kLockName), CloseHandle);
    const DWORD error = GetLastError();
    const std::string name = std::string("the server's lock name ") + kLockName;
    if (mutex)
        return name + " is held in this session: a copy of VeskServer runs here (or a program holds its mutex)";
    if (error == ERROR_ACCESS_DENIED)
        return name + " is held in this session by an elevated copy of VeskServer";
    if (error != ERROR_FILE_NOT_FOUND)
        return name + " is taken in this session by an object of another kind (error " + std::to_string(error) + ")";
    return "";
}

// `--inside-console CODE_PAGE COMMAND` (0: the console's own) starts COMMAND on the console's handles.
int run_child_role(int argc, char **argv)
{
    if (argc < 4 || std::strcmp(argv[1], kInsideConsole) != 0)
        return -1;
    // The command taken whole from the wide command line: argv is in the ANSI code page.
    const std::wstring line = GetCommandLineW(), marker = L" " + command_line({kInsideConsole, argv[2]}) + L" ";
    const size_t at = line.find(marker);
    const UINT code_page = static_cast<UINT>(std::atoi(argv[2]));
    if (at == std::wstring::npos || (code_page != 0 && !SetConsoleCP(code_page)))
        return 127;
    auto open = [](const wchar_t *name) {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    };
    HANDLE out = open(L"CONOUT$");
    auto say = [&](const std::string &text) {
        DWORD n;
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    };
    // Ignoring Ctrl+C is inherited (SetConsoleCtrlHandler, Microsoft): the program starts without it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    PROCESS_INFORMATION program;
    try {
        program = start_process(line.substr(at + marker.size()), {open(L"CONIN$"), out, out}, nullptr);
    } catch (const std::exception &) {
        return 127;
    }
    SetConsoleCtrlHandler(nullptr, TRUE);
    say(kProgram + std::to_string(program.dwProcessId) + ":" + std::to_string(program.dwThreadId) + "]\r\n");
    ResumeThread(program.hThread);
    WaitForSingleObject(program.hProcess, INFINITE);
    say(std::string("\r\n") + kProgramEnded + "\r\n");
    // A console whose last process has gone may close before it has shown what was written.
    Sleep(INFINITE);
    return 0;
}

std::string system_copy_of(const std::string &library)
{
    wchar_t system[MAX_PATH], windows[MAX_PATH], found[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring folders = std::wstring(system) + L";" + windows + L"\\System;" + windows;
    const bool there = SearchPathW(folders.c_str(), wide(library).c_str(), nullptr, MAX_PATH, found, nullptr) != 0;
    return there ? std::filesystem::path(found).u8string() : "";
}
