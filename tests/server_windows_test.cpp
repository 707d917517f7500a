// What only the Windows build has: kernel objects under the lock's name, a console, a library host.
#include <algorithm>
#include <cstdlib>
#include <regex>
#include <thread>
#include <windows.h>

#include "single_instance_lock.h"
#include "support/run.h"

// The text a console's VT stream shows: control sequences dropped, cursor moves forward as blanks.
static std::string screen_text(const std::string &vt)
{
    static const std::regex sequence("\x1b\\[([0-?]*)[ -/]*([@-~])");
    std::string text, rest = vt;
    for (std::sregex_iterator it(vt.begin(), vt.end(), sequence), end; it != end; ++it) {
        text += it->prefix();
        if ((*it)[2] == "C")
            text.append(static_cast<size_t>(std::max(1, std::atoi((*it)[1].str().c_str()))), ' ');
        rest = it->suffix();
    }
    return text + rest;
}

class WindowsServer : public ServerTest {};

// Another's object under the lock's name (here ours): a mutex refuses the start; an event leaves copies unguarded.
TEST_F(WindowsServer, ObjectOfAnotherProgramUnderTheLockName)
{
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kLockName);
    ASSERT_NE(mutex, nullptr);
    Trace refused = trace("refused");
    Child server = start(refused);
    expect_refused(server, refused);
    CloseHandle(mutex);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, kLockName);
    ASSERT_NE(event, nullptr);
    Trace a = trace("a"), b = trace("b");
    Child first = start_holder(a), second = start_holder(b);
    quit(second, b);
    quit(first, a);
    CloseHandle(event);
}

// Unloading the stand-in leaves a host none of its threads, also once its writer thread wrote a line.
TEST_F(WindowsServer, UnloadedStandInLeavesNoThread)
{
    for (const std::string rate : {"", "x"}) {
        SCOPED_TRACE("VESK_DEVICE_RATE=" + rate);
        ChildOptions options;
        options.stderr_to_stdout = true;
        options.env = {"VESK_DEVICE_ENDPOINT=tcp://127.0.0.1:*", "VESK_DEVICE_RATE=" + rate};
        Child host({target().helpers + "/host_library.exe", target().helpers + "/Vesk_Device.dll"}, options);
        EXPECT_EQ(host.wait(), 0) << host.output();
        EXPECT_EQ(host.output().find("VESK_DEVICE_RATE=x is not a number") != std::string::npos, !rate.empty())
            << host.output();
    }
}

// At a console only q or Ctrl+Z end the run in order, unspinning; ヒ is 0x83 0x71 (q's byte) in code page 932.
// A row without keys closes the console.
TEST_F(WindowsServer, AtAConsoleOnlyQOrEndOfInputClosesTheDevice)
{
    if (GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreatePseudoConsole") == nullptr)
        GTEST_SKIP() << "this Windows has no pseudo console (CreatePseudoConsole, from Windows 10 1809 on)";
    const struct { int code_page; const char *ignored, *keys; bool orderly; } cases[] = {
        {0, "abQ\r", "q\r", true}, {0, "abQ\r", "\x1a\r", true}, {0, "abQ\r", "\x03", false},
        {0, "abQ\r", nullptr, false}, {932, u8"ヒ\rabQ\r", "q\r", true}, {437, "abQ\r", u8"âq\r", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.code_page) + ": " + (c.keys == nullptr ? "closed" : c.keys));
        Trace t = trace("t" + std::to_string(&c - cases));
        ChildOptions console;
        console.terminal = true;
        console.code_page = c.code_page;
        Child server = start(t, console);
        EXPECT_TRUE(t.wait_for_start());
        server.send(c.ignored);  // read past once the console echoes its last line and it reads again
        EXPECT_TRUE(eventually([&] { return screen_text(server.output()).find("abQ") != std::string::npos; }))
            << server.output();
        const long before = main_thread_cpu_ms(server.pid());
        if (c.orderly) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            EXPECT_LE(main_thread_cpu_ms(server.pid()) - before, 40) << "the server spun while it waited";
        }
        c.keys == nullptr ? server.close_input() : server.send(c.keys);
        // Wine's console under load may lose a Ctrl+C: typed again.
        auto ended = [&] { return eventually([&] { return !server.running(); }, std::chrono::seconds(5)); };
        for (int typed = 1; !c.orderly && c.keys != nullptr && typed < 4 && !ended(); ++typed)
            server.send(c.keys);
        const int status = server.wait();
        EXPECT_NE(status, -1) << "the program did not end";
        EXPECT_TRUE(status == 0 || !c.orderly) << "status " << status;
        const std::string screen = screen_text(server.output());
        EXPECT_NE(screen.find(VESK_START_LINE), std::string::npos) << screen;
        EXPECT_EQ(screen.find(VESK_CLOSED_LINE) != std::string::npos, c.orderly) << screen;
        EXPECT_EQ(t.lines(), c.orderly ? kOrderlyTrace : kStartedTrace);
    }
}
