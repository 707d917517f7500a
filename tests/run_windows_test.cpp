// What only the Windows build has: kernel objects that any program can create under
// the lock's name.
#include "support/run.h"

class WindowsServer : public ServerTest {
protected:
    // Starts hold_named and waits until it holds its object.
    Child hold(const char *kind)
    {
        std::vector<std::string> argv = target().launcher;
        argv.push_back(target().helpers + "/hold_named.exe");
        argv.push_back(kind);
        Child holder(argv);
        EXPECT_TRUE(eventually([&] { return holder.output().find("held") != std::string::npos; }));
        return holder;
    }
};

TEST_F(WindowsServer, MutexOfAnotherProgramRefusesTheStart)
{
    Child holder = hold("mutex");
    Trace t = trace("t");
    Child server = start(t);
    expect_refused(server, t);
    holder.close_input();
    EXPECT_EQ(holder.wait(), 0);
}

TEST_F(WindowsServer, EventUnderTheNameLeavesCopiesUnguarded)
{
    Child holder = hold("event");
    Trace a = trace("a"), b = trace("b");
    Child first = start_holder(a);
    Child second = start_holder(b);
    quit(second, b);
    quit(first, a);
    holder.close_input();
    EXPECT_EQ(holder.wait(), 0);
}
