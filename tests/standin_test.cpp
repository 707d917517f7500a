// The stand-in library called directly, in orders the server never uses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>

#include "Vesk_Device.h"
#include "support/child.h"
#include "vesk/says.h"

TEST(Standin, CallsOutOfOrderAreHarmlessAndCloseLeavesNoThread)
{
    char dir[] = "/tmp/vesk-standin-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("VESK_DEVICE_ENDPOINT", ("ipc://" + std::string(dir) + "/data").c_str(), 1);
    const int before = thread_count(getpid());

    CloseVeskDevice();
    SetConfig_Bool(nullptr, true);
    SetConfig_Bool("bSomethingElse", true);
    OpenVeskDevice();
    OpenVeskDevice();
    EnableZMQData();
    EnableZMQData();
    SetConfig_Bool(VESK_LOG_LOST_KEY, false);
    CloseVeskDevice();
    CloseVeskDevice();
    EXPECT_EQ(thread_count(getpid()), before);

    // Closed, it can be opened again.
    EnableZMQData();
    OpenVeskDevice();
    CloseVeskDevice();
    EXPECT_EQ(thread_count(getpid()), before);

    // An open that comes while another thread's close waits for the device thread must not
    // leave a second device thread behind.
    std::thread opener([] {
        for (int i = 0; i < 200; ++i)
            OpenVeskDevice();
    });
    for (int i = 0; i < 200; ++i)
        CloseVeskDevice();
    opener.join();
    CloseVeskDevice();
    EXPECT_EQ(thread_count(getpid()), before);
    std::filesystem::remove_all(dir);
}

// With the lost-packet log on standard error too, a line of the stand-in's own that standard
// error would not take is told at the close as its own, not as a lost-packet line.
TEST(Standin, OwnLinesLostAreToldApartFromTheLog)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
    char buffer[4096] = {};
    while (write(pipe_fds[1], buffer, sizeof buffer) > 0) {
    }
    const int saved = dup(STDERR_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    unsetenv("VESK_DEVICE_LOG");
    setenv("VESK_DEVICE_RATE", "+250", 1);
    SetConfig_Bool(VESK_LOG_LOST_KEY, true);
    OpenVeskDevice();  // says the rate is no plain number: into the full pipe
    while (read(pipe_fds[0], buffer, sizeof buffer) > 0) {
    }
    CloseVeskDevice();
    dup2(saved, STDERR_FILENO);
    std::string said;
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<size_t>(n));
    EXPECT_NE(said.find("1 " VESK_SAYS_OWN_LINES " dropped"), std::string::npos) << said;
    EXPECT_EQ(said.find(VESK_SAYS_LOG_LINES), std::string::npos) << said;
    unsetenv("VESK_DEVICE_RATE");
    SetConfig_Bool(VESK_LOG_LOST_KEY, false);
    close(saved);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

// Stands in for libzmq's zmq_send, which the library finds here first: when `slow_sends` is set,
// each send takes 20 us longer, so that a device at 100000 packets a second falls behind.
static std::atomic<bool> slow_sends{false};
static std::atomic<long> sends{0};
extern "C" int zmq_send(void *socket, const void *buffer, size_t size, int flags)
{
    using Send = int (*)(void *, const void *, size_t, int);
    static Send real = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "zmq_send"));
    ++sends;
    if (slow_sends) {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        while (std::chrono::steady_clock::now() < until) {
        }
    }
    return real(socket, buffer, size, flags);
}

// A device thread that stays behind its schedule lets go of the library's state between
// packets, so an entry point called meanwhile returns.
TEST(Standin, EntryPointsDoNotWaitForADeviceBehindItsSchedule)
{
    char dir[] = "/tmp/vesk-standin-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("VESK_DEVICE_ENDPOINT", ("ipc://" + std::string(dir) + "/data").c_str(), 1);
    setenv("VESK_DEVICE_RATE", "100000", 1);
    slow_sends = true;
    EnableZMQData();
    OpenVeskDevice();
    // 20000 sends take 0.4 s or more, twice the 0.2 s they should: well behind by then.
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         sends < 20000 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto set = std::async(std::launch::async, [] { SetConfig_Bool(VESK_LOG_LOST_KEY, false); });
    EXPECT_EQ(set.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "SetConfig_Bool waited";
    CloseVeskDevice();
    slow_sends = false;
    unsetenv("VESK_DEVICE_RATE");
    std::filesystem::remove_all(dir);
}
