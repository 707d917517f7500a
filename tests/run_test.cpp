// The program as an operator and a second copy see it, on either platform.
#include <filesystem>
#include <thread>

#include "support/run.h"

namespace fs = std::filesystem;

class Server : public ServerTest {};

// With standard error on the same pipe, the stand-in's line at load stands whole before the
// start line: whatever the library does when it is loaded comes first.
TEST_F(Server, OrderlyRunIgnoresArgumentsAndTheLibraryLoadsFirst)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-h", "--version", "q"}}) {
        Trace t = trace("t" + std::to_string(args.size()));
        Child server = start(t, {}, args);
        quit(server, t);
    }

    Trace t = trace("one-pipe");
    ChildOptions one_pipe;
    one_pipe.stderr_to_stdout = true;
    Child server = start(t, one_pipe);
    server.send("q\n");
    EXPECT_EQ(server.wait(), 0);
    const std::string first = "Vesk_Device: stand-in library, no real device\n" + output_of({"VeskServer Start!"});
    EXPECT_EQ(server.output().substr(0, first.size()), first);
}

// Only a lower-case q ends the wait; "x" sent after "Q\n" is read as well, which shows the
// wait went on past the Q.
TEST_F(Server, QuitWaitIgnoresEverythingButLowerCaseQ)
{
    Trace t = trace("t");
    Child server = start(t);
    server.send("Q\n");
    ASSERT_TRUE(server.consumed_input());
    server.send(" x\r\t");
    ASSERT_TRUE(server.consumed_input());
    EXPECT_TRUE(server.running());
    EXPECT_EQ(t.lines().size(), 4u) << "the device was closed before any q";
    quit(server, t);
}

// The device is closed at the q, before the trailing read blocks for the next character; that
// read takes one character, not a line, and an input that ends there ends it too.
TEST_F(Server, DeviceClosesBeforeTheTrailingRead)
{
    for (bool end_input : {false, true}) {
        SCOPED_TRACE(end_input ? "input ends after the q" : "one more character");
        Trace t = trace("t" + std::to_string(end_input));
        Child server = start(t);
        server.send("q");
        ASSERT_TRUE(t.shows("CloseVeskDevice"));
        EXPECT_EQ(server.output(), output_of({"VeskServer Start!"}));
        if (end_input)
            server.close_input();
        else
            server.send("z");
        expect_orderly_end(server, t);
    }
}

TEST_F(Server, SecondCopyIsRefusedWhileTheFirstWaitsAndWhileItStops)
{
    Trace first = trace("first");
    Child server = start_holder(first);

    Trace waiting = trace("while-waiting");
    Child copy = start(waiting);
    expect_refused(copy, waiting);

    server.send("q");
    ASSERT_TRUE(first.shows("CloseVeskDevice"));
    Trace stopping = trace("while-stopping");
    Child late = start(stopping);
    expect_refused(late, stopping);

    server.send("\n");
    expect_orderly_end(server, first);
}

TEST_F(Server, KilledCopyFreesTheLock)
{
    Trace first = trace("first");
    Child server = start_holder(first);
    server.kill();
    EXPECT_NE(server.wait(), 0);

    Trace next = trace("next");
    Child again = start(next);
    quit(again, next);
}

TEST_F(Server, CopiesStartedAtOnceLetExactlyOneRun)
{
    const int copies = 8;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<Trace> traces;
        std::vector<Child> servers;
        ChildOptions held;
        held.held = true;
        for (int i = 0; i < copies; ++i) {
            traces.push_back(trace("r" + std::to_string(round) + "-" + std::to_string(i)));
            servers.push_back(start(traces.back(), held));
        }
        for (Child &server : servers)
            server.release();

        int running = -1, ended = 0;
        ASSERT_TRUE(eventually([&] {
            ended = 0;
            for (int i = 0; i < copies; ++i) {
                if (!servers[i].running())
                    ++ended;
                else if (traces[i].lines().size() == 4)
                    running = i;
            }
            return ended == copies - 1 && running >= 0;
        })) << ended << " copies ended";
        for (int i = 0; i < copies; ++i)
            if (i != running)
                expect_refused(servers[i], traces[i]);
        quit(servers[running], traces[running]);
    }
}

TEST_F(Server, MissingLibraryStopsTheStart)
{
    Trace t = trace("t");
    ChildOptions options;
    // Started beside a library, not with it: only its own folder counts. Windows searches the
    // current folder as well, by design, so there it starts in the case's folder, which holds
    // none, wherever the tests were started (an IDE starts them beside the library).
    options.cwd = kWindows ? dir_ : fs::u8path(target().server).parent_path().u8string();
    Child server = start(t, options, {}, copy_server("alone"));
    int status = server.wait();
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    EXPECT_EQ(server.output(), "");
    EXPECT_FALSE(fs::exists(fs::u8path(dir_ + "/t"))) << "the library was loaded";
}

// Nobody reading standard output any more must not keep the device from being closed.
TEST_F(Server, ClosedOutputStillClosesTheDevice)
{
    Trace t = trace("t");
    ChildOptions options;
    options.stdout_closed = true;
    Child server = start(t, options);
    server.send("q\n");
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(t.lines(), kOrderlyTrace);
}

// An input left non-blocking by an earlier program that shares the open file is waited on,
// in both reads, without spending processor time, and not taken for its end; a real end
// still ends the run.
TEST_F(Server, NonBlockingInputIsWaitedOn)
{
    if (kWindows)
        GTEST_SKIP() << "a non-blocking mode that the open file shares is POSIX's";
    ChildOptions nonblocking;
    nonblocking.nonblocking_input = true;
    Trace t = trace("t");
    Child server = start(t, nonblocking);
    ASSERT_TRUE(t.started());
    // A second of waiting costs the main thread no more than a few clock ticks; a wait that
    // spins costs it most of that second.
    const long before = main_thread_cpu_ms(server.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LE(main_thread_cpu_ms(server.pid()) - before, 30) << "the wait spent processor time";
    server.send("Q\n");
    ASSERT_TRUE(server.consumed_input());
    EXPECT_EQ(t.lines().size(), 4u) << "the device was closed before any q";
    server.send("q");
    ASSERT_TRUE(t.shows("CloseVeskDevice"));
    server.send("z");
    ASSERT_TRUE(server.consumed_input()) << "the trailing read did not wait";
    expect_orderly_end(server, t);

    Trace ending = trace("ending");
    Child ended = start(ending, nonblocking);
    ASSERT_TRUE(ending.started());
    ended.close_input();
    expect_orderly_end(ended, ending);
}
