// The program as an operator and a second copy see it, on either platform.
#include "support/run.h"

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
    const std::string first = VESK_SAYS_LOADED "\n" + output_of({VESK_START_LINE});
    EXPECT_EQ(server.output().substr(0, first.size()), first);
}

// Only a lower-case q ends the wait, and the device is closed at it, before the trailing read
// takes its one character; an input that ends there ends that read too.
TEST_F(Server, OnlyQEndsTheWaitAndTheDeviceClosesBeforeTheTrailingRead)
{
    for (bool end_input : {false, true}) {
        SCOPED_TRACE(end_input ? "input ends after the q" : "one more character");
        Trace t = trace("t" + std::to_string(end_input));
        Child server = start(t);
        walk_to_the_end(server, t, end_input, [&](int read) {
            if (read == 1) {
                server.send(" x\r\t");
                ASSERT_TRUE(server.wait_for_input_read());
            }
        });
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
    ASSERT_TRUE(first.wait_for_line(VESK_TRACE_CLOSE));
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
        ChildOptions suspended;
        suspended.suspended = true;
        for (int i = 0; i < copies; ++i) {
            traces.push_back(trace("r" + std::to_string(round) + "-" + std::to_string(i)));
            servers.push_back(start(traces.back(), suspended));
        }
        for (Child &server : servers)
            server.resume();

        int running = -1, ended = 0;
        ASSERT_TRUE(eventually([&] {
            ended = 0;
            for (int i = 0; i < copies; ++i) {
                if (!servers[i].running())
                    ++ended;
                else if (traces[i].lines() == kStartedTrace)
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
    // Started in the case's folder, which holds no library: Windows searches the current folder
    // too, and an IDE starts the tests beside the library.
    options.cwd = dir_;
    Child server = start(t, options, {}, copy_server("alone"));
    expect_not_started(server, t);
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
