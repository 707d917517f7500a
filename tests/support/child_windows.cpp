#include "child.h"

// The console functions' declarations need Windows 10's headers; they are looked up at run time.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000006
#endif
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "single_instance_lock.h"

namespace {

const DWORD kPatienceMs = static_cast<DWORD>(std::chrono::milliseconds(kPatience).count());

// The tests' narrow strings are UTF-8 here, as a path's u8string() gives them.
std::wstring wide(const std::string &text)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// One argument as the C runtime's parser takes it back: quotes around it, a quote escaped, and
// backslashes doubled only where a quote follows them.
std::wstring quoted(const std::wstring &arg)
{
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::wstring command_line(const std::vector<std::string> &argv)
{
    std::wstring line;
    for (const std::string &arg : argv)
        line += (line.empty() ? L"" : L" ") + quoted(wide(arg));
    return line;
}

// Our environment with the options' entries in place, as a CREATE_UNICODE_ENVIRONMENT block.
std::wstring environment_block(const ChildOptions &options)
{
    std::vector<std::wstring> env;
    wchar_t *all = GetEnvironmentStringsW();
    for (const wchar_t *e = all; *e != L'\0'; e += wcslen(e) + 1)
        env.emplace_back(e);
    FreeEnvironmentStringsW(all);
    for (const std::string &entry : options.env) {
        std::wstring w = wide(entry), name = w.substr(0, w.find(L'=') + 1);
        for (auto it = env.begin(); it != env.end();)
            it = _wcsnicmp(it->c_str(), name.c_str(), name.size()) == 0 ? env.erase(it) : it + 1;
        env.push_back(w);
    }
    std::wstring block;
    for (const std::wstring &e : env)
        block += e + L'\0';
    return block + L'\0';
}

// The pseudo console's functions, which exist from Windows 10 1809 on: a program that imports
// them does not start at all on an older Windows.
struct ConsoleFunctions {
    decltype(&CreatePseudoConsole) create = nullptr;
    decltype(&ClosePseudoConsole) close = nullptr;
};

template <typename Function>
Function kernel32_function(const char *name)
{
    FARPROC function = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void *>(function));
}

const ConsoleFunctions &console_functions()
{
    static const ConsoleFunctions functions = {
        kernel32_function<decltype(&CreatePseudoConsole)>("CreatePseudoConsole"),
        kernel32_function<decltype(&ClosePseudoConsole)>("ClosePseudoConsole"),
    };
    return functions;
}

// A program's standard input, output and error.
using StandardHandles = std::array<HANDLE, 3>;

// Only one program is started at a time: the handles it inherits are made inheritable only for
// that moment, and each start gives back the flags it found.
std::mutex g_starting;

// The one way the tests start a program: with `standard` as its standard handles, the only
// handles it inherits, or, given a pseudo console, in that console, inheriting none.
PROCESS_INFORMATION start_process(const std::wstring &command, const StandardHandles &standard, HPCON console,
                                  DWORD flags, const std::wstring *env = nullptr, const std::wstring &cwd = L"")
{
    std::lock_guard<std::mutex> starting(g_starting);
    // A program that cannot be loaded (a DLL or an entry point missing) would wait on a modal
    // message box for a click; with this mode, which children inherit, it fails instead. CTest
    // sets it, a test program run by hand or from an IDE does not.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
    std::vector<HANDLE> inherited;
    for (HANDLE h : standard)
        if (console == nullptr && h != nullptr && h != INVALID_HANDLE_VALUE &&
            std::find(inherited.begin(), inherited.end(), h) == inherited.end())
            inherited.push_back(h);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    InitializeProcThreadAttributeList(list, 1, 0, &size);
    if (console != nullptr)
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console, sizeof console, nullptr,
                                  nullptr);
    else if (!inherited.empty())
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                  inherited.size() * sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = list;
    if (console == nullptr) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = standard[0];
        startup.StartupInfo.hStdOutput = standard[1];
        startup.StartupInfo.hStdError = standard[2];
    }
    std::vector<DWORD> found(inherited.size(), 0);
    for (size_t i = 0; i < inherited.size(); ++i) {
        GetHandleInformation(inherited[i], &found[i]);
        SetHandleInformation(inherited[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    std::wstring line = command;
    PROCESS_INFORMATION process = {};
    flags |= EXTENDED_STARTUPINFO_PRESENT | (env != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0);
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, !inherited.empty(), flags,
                                  env != nullptr ? const_cast<wchar_t *>(env->c_str()) : nullptr,
                                  cwd.empty() ? nullptr : cwd.c_str(), &startup.StartupInfo, &process);
    const DWORD error = GetLastError();
    for (size_t i = 0; i < inherited.size(); ++i)
        SetHandleInformation(inherited[i], HANDLE_FLAG_INHERIT, found[i] & HANDLE_FLAG_INHERIT);
    DeleteProcThreadAttributeList(list);
    if (!started)
        throw std::runtime_error("cannot start the program: error " + std::to_string(error));
    return process;
}

// What a program writes to a pipe, read by a thread of its own so that it is never held up.
// The thread keeps this alive for as long as it runs.
struct Stream {
    HANDLE pipe = nullptr;
    std::mutex lock;
    std::string text;

    static DWORD WINAPI drain(void *self)
    {
        auto stream = static_cast<std::shared_ptr<Stream> *>(self);
        char buffer[4096];
        DWORD n;
        while (ReadFile((*stream)->pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            std::lock_guard<std::mutex> hold((*stream)->lock);
            (*stream)->text.append(buffer, n);
        }
        CloseHandle((*stream)->pipe);
        delete stream;
        return 0;
    }
};

ULONGLONG ticks(const FILETIME &time)
{
    return ULONGLONG(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

ULONGLONG milliseconds(const FILETIME &kernel, const FILETIME &user)
{
    return (ticks(kernel) + ticks(user)) / 10000;
}

ULONGLONG created(HANDLE process)
{
    FILETIME creation, exit, kernel, user;
    return GetProcessTimes(process, &creation, &exit, &kernel, &user) ? ticks(creation) : 0;
}

// A process that `parent` started, opened, or null. Process ids are reused: a process whose
// parent id matches may have been started by an earlier owner of that id, so it counts only if
// it is in `job`, which holds just what the tests started, and was made after `parent`.
HANDLE child_of(HANDLE parent, DWORD parent_id, HANDLE job, DWORD *pid)
{
    const ULONGLONG parent_created = created(parent);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    HANDLE found = nullptr;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == nullptr;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID != parent_id)
            continue;
        // Not the limited query right: Wine's IsProcessInJob refuses it.
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE,
                                     entry.th32ProcessID);
        BOOL ours = FALSE;
        if (process != nullptr && IsProcessInJob(process, job, &ours) && ours && parent_created != 0 &&
            created(process) >= parent_created) {
            found = process;
            *pid = entry.th32ProcessID;
        } else if (process != nullptr) {
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    return found;
}

// Calls `each` with every thread of process `pid`, in no particular order.
void for_each_thread(int pid, const std::function<void(DWORD)> &each)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == static_cast<DWORD>(pid))
            each(entry.th32ThreadID);
    CloseHandle(snapshot);
}

std::wstring self_path()
{
    std::wstring self(MAX_PATH, L'\0');
    DWORD n;
    while ((n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()))) == self.size())
        self.resize(self.size() * 2);
    self.resize(n);
    return self;
}

const char kInsideConsole[] = "--inside-console";
const char kProgramEnded[] = "[the program has ended]";

}  // namespace

// The parts of starting a program, one thing each.
namespace {

SECURITY_ATTRIBUTES g_plain = {sizeof g_plain, nullptr, FALSE};

void make_pipe(HANDLE *read, HANDLE *write, DWORD size = 0)
{
    if (!CreatePipe(read, write, &g_plain, size))
        throw std::runtime_error("CreatePipe failed: error " + std::to_string(GetLastError()));
}

// A job that ends everything in it once its last handle is closed: whatever a program starts
// is in its job too.
HANDLE make_job()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION kill_on_close = {};
    kill_on_close.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr ||
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &kill_on_close, sizeof kill_on_close))
        throw std::runtime_error("cannot make a job object: error " + std::to_string(GetLastError()));
    return job;
}

// Fills a pipe that nobody reads, so that it has no room left.
void fill(HANDLE pipe_write)
{
    DWORD no_wait = PIPE_READMODE_BYTE | PIPE_NOWAIT, wait = PIPE_READMODE_BYTE | PIPE_WAIT, n = 1;
    const std::string block(4096, 'x');
    SetNamedPipeHandleState(pipe_write, &no_wait, nullptr, nullptr);
    while (WriteFile(pipe_write, block.data(), static_cast<DWORD>(block.size()), &n, nullptr) && n > 0) {
    }
    SetNamedPipeHandleState(pipe_write, &wait, nullptr, nullptr);
}

// A pseudo console whose keys are read from `keys` and whose screen goes to `screen`.
HPCON open_console(HANDLE keys, HANDLE screen)
{
    const ConsoleFunctions &functions = console_functions();
    HPCON console = nullptr;
    if (functions.create == nullptr)
        throw std::runtime_error(console_unavailable());
    if (FAILED(functions.create({80, 25}, keys, screen, 0, &console)))
        throw std::runtime_error("CreatePseudoConsole failed");
    return console;
}

}  // namespace

struct Child::Impl {
    HANDLE job = nullptr;
    HANDLE process = nullptr;  // the program's
    HANDLE thread = nullptr;   // its first thread, while it is suspended
    DWORD pid = 0;
    HANDLE in = nullptr;       // our end of its input, or the keys typed at its console
    HANDLE in_read = nullptr;  // a copy of its end of the input, to see what it has not read
    HANDLE err = nullptr;      // the undrained standard error
    HPCON console = nullptr;
    HANDLE inside = nullptr;   // the process that hands the console to the program
    std::shared_ptr<Stream> out;
    HANDLE reader = nullptr;
    int status = -1;

    // The program's standard error, as the options ask; `made` gets a handle made for it, which
    // is ours to close once it has started.
    HANDLE standard_error(const ChildOptions &options, HANDLE out_write, HANDLE *made)
    {
        if (!options.stderr_path.empty()) {
            *made = CreateFileW(wide(options.stderr_path).c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &g_plain, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
            return *made;
        }
        if (options.stderr_undrained || options.stderr_full) {
            // 64 KiB, as a Linux pipe holds.
            make_pipe(&err, made, 64 * 1024);
            if (options.stderr_full)
                fill(*made);
            return *made;
        }
        return options.stderr_to_stdout ? out_write : GetStdHandle(STD_ERROR_HANDLE);
    }

    // Puts the program, started suspended, in the job, so that nothing it starts outlives us.
    void join(const PROCESS_INFORMATION &started)
    {
        process = started.hProcess;
        pid = started.dwProcessId;
        thread = started.hThread;
        if (!AssignProcessToJobObject(job, process)) {
            TerminateProcess(process, 1);
            throw std::runtime_error("AssignProcessToJobObject failed");
        }
    }

    void read_output(HANDLE out_read)
    {
        out = std::make_shared<Stream>();
        out->pipe = out_read;
        reader = CreateThread(nullptr, 0, Stream::drain, new std::shared_ptr<Stream>(out), 0, nullptr);
    }

    // Takes the program that the process inside the console starts as the one this object runs.
    void find_program_in_console()
    {
        inside = process;
        process = nullptr;
        const DWORD inside_id = pid;
        if (!eventually([&] {
                return (process = child_of(inside, inside_id, job, &pid)) != nullptr ||
                       WaitForSingleObject(inside, 0) == WAIT_OBJECT_0;
            }) ||
            process == nullptr)
            throw std::runtime_error("the program did not start in the console");
    }

    void close_console()
    {
        if (console != nullptr)
            console_functions().close(console);
        console = nullptr;
    }

    bool shows_end()
    {
        std::lock_guard<std::mutex> hold(out->lock);
        return out->text.find(kProgramEnded) != std::string::npos;
    }

    // Waits until everything the program wrote has been read. At a console, the process
    // inside writes kProgramEnded through the console once the program has ended, and the
    // console shows what was written in order; only if it did not (the console ended it too)
    // is the console closed and its last output awaited, which Wine takes seconds to give.
    void finish_output()
    {
        if (console != nullptr &&
            eventually([&] { return shows_end() || WaitForSingleObject(inside, 0) == WAIT_OBJECT_0; }) && shows_end())
            return;
        close_console();
        if (reader != nullptr && WaitForSingleObject(reader, kPatienceMs) == WAIT_TIMEOUT)
            CancelSynchronousIo(reader);
    }

    int processes_in_job()
    {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
        return QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr)
                   ? static_cast<int>(info.ActiveProcesses)
                   : 0;
    }

    // Ends everything in the job and waits until it has gone: TerminateProcess and
    // TerminateJobObject return before a process has ended, and its image and open files stay
    // until it has.
    void end_everything()
    {
        TerminateJobObject(job, 1);
        for (HANDLE h : {process, inside})
            if (h != nullptr)
                WaitForSingleObject(h, kPatienceMs);
        eventually([&] { return processes_in_job() == 0; });
    }

    // Also when the start failed half-way.
    ~Impl()
    {
        if (job != nullptr) {
            end_everything();
            CloseHandle(job);
        }
        close_console();
        // A reader still waiting for a console's last output keeps what it reads into alive.
        if (reader != nullptr && WaitForSingleObject(reader, 0) == WAIT_TIMEOUT)
            CancelSynchronousIo(reader);
        for (HANDLE h : {process, thread, in, in_read, err, inside, reader})
            if (h != nullptr)
                CloseHandle(h);
    }
};

Child::Child(const std::vector<std::string> &argv, const ChildOptions &options) : impl_(new Impl)
{
    Impl &c = *impl_;
    c.job = make_job();
    HANDLE in_read = nullptr, out_read = nullptr, out_write = nullptr, err_made = nullptr;
    make_pipe(&in_read, &c.in);
    make_pipe(&out_read, &out_write);
    std::wstring command = command_line(argv);
    StandardHandles standard = {in_read, out_write, nullptr};
    if (options.terminal) {
        // Started straight into a pseudo console, a program gets no usable standard handles
        // under Wine; a copy of this program inside it hands the console over instead.
        c.console = open_console(in_read, out_write);
        command = quoted(self_path()) + L" " + wide(kInsideConsole) + L" " + command;
    } else {
        standard[2] = c.standard_error(options, out_write, &err_made);
    }
    if (options.stdout_closed) {
        CloseHandle(out_read);
        out_read = nullptr;
    }

    const std::wstring env = environment_block(options);
    c.join(start_process(command, standard, c.console, CREATE_SUSPENDED, &env, wide(options.cwd)));
    // Our copy of its input's read end stays, to tell what it has not read yet; the console
    // has one of its own.
    if (options.terminal)
        CloseHandle(in_read);
    else
        c.in_read = in_read;
    for (HANDLE h : {out_write, err_made})
        if (h != nullptr)
            CloseHandle(h);
    if (out_read != nullptr)
        c.read_output(out_read);
    if (!options.suspended)
        resume();
    if (options.terminal)
        c.find_program_in_console();
}

Child::Child(Child &&other) noexcept = default;

Child::~Child() = default;

void Child::resume()
{
    ResumeThread(impl_->thread);
    CloseHandle(impl_->thread);
    impl_->thread = nullptr;
}

int Child::pid() const
{
    return static_cast<int>(impl_->pid);
}

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

void Child::close_input()
{
    Impl &c = *impl_;
    CloseHandle(c.in);
    c.in = nullptr;
    c.close_console();
}

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
    if (c.status >= 0)
        return false;
    if (WaitForSingleObject(c.process, 0) == WAIT_TIMEOUT)
        return true;
    DWORD status = 1;
    GetExitCodeProcess(c.process, &status);
    c.status = static_cast<int>(status);
    return false;
}

int Child::wait()
{
    Impl &c = *impl_;
    if (WaitForSingleObject(c.process, kPatienceMs) != WAIT_OBJECT_0)
        return -1;
    running();
    c.finish_output();
    return c.status;
}

void Child::kill()
{
    TerminateProcess(impl_->process, 1);
}

std::string Child::output()
{
    if (!impl_->out)
        return {};
    std::lock_guard<std::mutex> hold(impl_->out->lock);
    return impl_->out->text;
}

int thread_count(int pid)
{
    int n = 0;
    for_each_thread(pid, [&](DWORD) { ++n; });
    return n > 0 ? n : -1;
}

long resident_kb(int pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    long kb = process != nullptr && GetProcessMemoryInfo(process, &counters, sizeof counters)
                  ? static_cast<long>(counters.WorkingSetSize / 1024)
                  : -1;
    if (process != nullptr)
        CloseHandle(process);
    return kb;
}

// The main thread is the one made first: Toolhelp lists threads in no documented order.
long main_thread_cpu_ms(int pid)
{
    ULONGLONG earliest = ~0ULL;
    long ms = -1;
    for_each_thread(pid, [&](DWORD id) {
        HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
        FILETIME created, exited, kernel, user;
        if (thread != nullptr && GetThreadTimes(thread, &created, &exited, &kernel, &user) &&
            ticks(created) < earliest) {
            earliest = ticks(created);
            ms = static_cast<long>(milliseconds(kernel, user));
        }
        if (thread != nullptr)
            CloseHandle(thread);
    });
    return ms;
}

std::string program_folder()
{
    const std::wstring self = self_path();
    return utf8(self.substr(0, self.find_last_of(L"\\/")));
}

std::string make_private_namespaces()
{
    return "";
}

std::string console_unavailable()
{
    return console_functions().create != nullptr && console_functions().close != nullptr
               ? ""
               : "this Windows has no pseudo console (CreatePseudoConsole, from Windows 10 1809 on)";
}

std::string lock_name_in_use()
{
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kLockName);
    const DWORD error = GetLastError();
    if (mutex != nullptr)
        CloseHandle(mutex);
    const std::string name = std::string("the server's lock name ") + kLockName;
    if (mutex != nullptr)
        return name + " is held in this session: a copy of VeskServer runs here (or a program holds its mutex)";
    if (error == ERROR_ACCESS_DENIED)
        return name + " is held in this session by an elevated copy of VeskServer";
    if (error != ERROR_FILE_NOT_FOUND)
        return name + " is taken in this session by an object of another kind (error " + std::to_string(error) + ")";
    return "";
}

// Inside a pseudo console: opens the console, as a console window's shell has it, and starts
// the program with it as its standard handles; once it has ended, says so through the console.
int run_child_role(int argc, char **argv)
{
    if (argc < 3 || std::strcmp(argv[1], kInsideConsole) != 0)
        return -1;
    // The program's command line as it was given, taken whole: argv is in the ANSI code page.
    const std::wstring line = GetCommandLineW(), marker = L" " + wide(kInsideConsole) + L" ";
    const size_t at = line.find(marker);
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &g_plain,
                            OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &g_plain,
                             OPEN_EXISTING, 0, nullptr);
    PROCESS_INFORMATION program;
    try {
        if (at == std::wstring::npos)
            return 127;
        program = start_process(line.substr(at + marker.size()), {in, out, out}, nullptr, 0);
    } catch (const std::exception &) {
        return 127;
    }
    // Ctrl+C at the console is the program's to handle; it was started with the default.
    SetConsoleCtrlHandler(nullptr, TRUE);
    WaitForSingleObject(program.hProcess, INFINITE);
    DWORD n;
    const std::string ended = std::string("\r\n") + kProgramEnded + "\r\n";
    WriteFile(out, ended.data(), static_cast<DWORD>(ended.size()), &n, nullptr);
    // A console whose last process has gone may close before it has shown what was written:
    // this one stays until the console or the job ends it.
    Sleep(INFINITE);
    return 0;
}
