// The program as an operator and a second copy see it, on either platform.
#include "support/run.h"

class Server : public ServerTest {};

// The stand-in's line at load stands whole before the start line; unread output still closes the device.
TEST_F(Server, OrderlyRunIgnoresArgumentsAndTheLibraryLoadsFirst)
{
    Trace with_arguments = trace("with-arguments");
    Child ignoring = start(with_arguments, {}, {"-h", "--version", "q"});
    quit(ignoring, with_arguments);

    for (bool output_closed : {false, true}) {
        Trace t = trace(output_closed ? "output-closed" : "one-pipe");
        ChildOptions options;
        options.stderr_to_stdout = !output_closed;
        options.stdout_closed = output_closed;
        Child server = start(t, options);
        server.send("q\n");
        EXPECT_EQ(server.wait(), 0);
        EXPECT_EQ(t.lines(), kOrderlyTrace);
        const std::string first = VESK_SAYS_LOADED "\n" + output_of({VESK_START_LINE});
        if (!output_closed) {
            EXPECT_EQ(server.output().substr(0, first.size()), first);
        }
    }
}

// Only a lower-case q ends the wait, closing the device before the trailing read, which an end ends too.
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

// A killed copy frees the lock.
TEST_F(Server, SecondCopyIsRefusedWhileTheFirstWaitsOrStopsAndRunsOnceItIsKilled)
{
    Trace killed = trace("killed");
    Child first = start_holder(killed);
    Trace waiting = trace("while-waiting");
    Child copy = start(waiting);
    expect_refused(copy, waiting);
    first.kill();
    EXPECT_NE(first.wait(), 0);

    Trace next = trace("next");
    Child server = start_holder(next);
    server.send("q");
    ASSERT_TRUE(next.wait_for_line(VESK_TRACE_CLOSE));
    Trace stopping = trace("while-stopping");
    Child late = start(stopping);
    expect_refused(late, stopping);
    server.send("\n");
    expect_orderly_end(server, next);
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
    const std::string system_copy = system_copy_of("Vesk_Device.dll");
    if (!system_copy.empty())
        GTEST_SKIP() << "the loader would take " << system_copy << " for the missing library";
    Trace t = trace("t");
    ChildOptions options;
    // Windows searches the current folder and PATH too: the case's folder holds no library.
    options.cwd = dir_;
    options.env = {"PATH=" + dir_};
    Child server = start(t, options, {}, copy_server("alone"));
    expect_not_started(server, t);
}
