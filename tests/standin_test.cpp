// The stand-in library called directly, in orders the server never uses.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "Vesk_Device.h"
#include "support/device.h"
#include "vesk/waveform.h"

// Each case's data output is a socket file in a folder of its own, standard error a non-blocking pipe.
class Standin : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(dir_), nullptr);
        endpoint_ = "ipc://" + std::string(dir_) + "/data";
        setenv("VESK_DEVICE_ENDPOINT", endpoint_.c_str(), 1);
        ASSERT_EQ(pipe2(pipe_, O_NONBLOCK), 0);
        dup2(pipe_[1], STDERR_FILENO);
    }
    void TearDown() override
    {
        dup2(stderr_, STDERR_FILENO);
        for (int fd : {stderr_, pipe_[0], pipe_[1]})
            close(fd);
        unsetenv("VESK_DEVICE_RATE");
        SetConfig_Bool(VESK_LOG_LOST_KEY, false);
        std::filesystem::remove_all(dir_);
    }
    // What standard error took since the last call.
    std::string said()
    {
        char buffer[4096];
        std::string text;
        for (ssize_t n; (n = read(pipe_[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }

    char dir_[32] = "/tmp/vesk-standin-XXXXXX";
    std::string endpoint_;
    int pipe_[2] = {-1, -1};
    const int stderr_ = dup(STDERR_FILENO);
};

TEST_F(Standin, CallsOutOfOrderAreHarmlessAndCloseLeavesNoThread)
{
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

    // An open while another thread's close waits for the device thread leaves no second one.
    std::thread opener([] { for (int i = 0; i < 200; ++i) OpenVeskDevice(); });
    for (int i = 0; i < 200; ++i)
        CloseVeskDevice();
    opener.join();
    CloseVeskDevice();
    EXPECT_EQ(thread_count(getpid()), before);
}

// With the lost-packet log on standard error too, a refused line of its own is told as its own.
TEST_F(Standin, OwnLinesLostAreToldApartFromTheLog)
{
    char buffer[4096] = {};
    while (write(pipe_[1], buffer, sizeof buffer) > 0) {}
    unsetenv("VESK_DEVICE_LOG");
    setenv("VESK_DEVICE_RATE", "+250", 1);
    SetConfig_Bool(VESK_LOG_LOST_KEY, true);
    OpenVeskDevice();  // says the rate is no plain number: into the full pipe
    said();
    CloseVeskDevice();
    const std::string told = said();
    EXPECT_NE(told.find("1 " VESK_SAYS_OWN_LINES " dropped"), std::string::npos) << told;
    EXPECT_EQ(told.find(VESK_SAYS_LOG_LINES), std::string::npos) << told;
}

// libzmq's zmq_send as the library finds it first. Once `slow`, the first send holds the device up
// 1.5 s and each is 20 us slower: past 100000/s it falls behind.
static std::atomic<bool> slow{false};
static std::atomic<long> sends{0};  // since `slow`
extern "C" int zmq_send(void *socket, const void *buffer, size_t size, int flags)
{
    using Send = int (*)(void *, const void *, size_t, int);
    static Send real = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "zmq_send"));
    if (slow && ++sends == 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
    while (slow && std::chrono::steady_clock::now() < until) {}
    return real(socket, buffer, size, flags);
}

__extension__ typedef __int128 Wide;  // GCC's, exact where n * 10^9 needs more than 64 bits

// Packet n is due n * 10^9 / rate ns after the start, rounded, past 64 bits too. A device behind lets go
// of the library's state between packets; one held up over a second says how far behind, and moves on.
TEST_F(Standin, ScheduleIsExactAndADeviceBehindItHoldsUpNoEntryPoint)
{
    for (long rate : {66667L, 250L, 10000L, 100000L}) {
        SCOPED_TRACE(rate);
        auto exact = [&](uint64_t n) {  // within half a nanosecond, times 2 * rate
            const Wide twice = 2 * (static_cast<Wide>(vesk_due_ns(n, rate)) * rate - Wide{n} * 1000000000);
            return (twice < 0 ? -twice : twice) <= rate;
        };
        for (uint64_t n = 0; n <= 4 * static_cast<uint64_t>(rate); ++n)
            ASSERT_TRUE(exact(n)) << n;
        EXPECT_TRUE(exact(uint64_t{1} << 40));
    }

    setenv("VESK_DEVICE_RATE", "100000", 1);
    slow = true;
    EnableZMQData();
    OpenVeskDevice();
    std::string told;
    const bool moved_on = eventually([&] { return (told += said()).find(VESK_SAYS_MOVED_ON) != std::string::npos; });
    // 20000 sends take 0.4 s or more, twice the 0.2 s they should: well behind by then.
    eventually([] { return sends >= 20000; });
    auto set = std::async(std::launch::async, [] { SetConfig_Bool(VESK_LOG_LOST_KEY, false); });
    EXPECT_EQ(set.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "SetConfig_Bool waited";
    CloseVeskDevice();
    slow = false;
    EXPECT_TRUE(moved_on) << told;
}

// The samples of the CSV example in `file` by sequence number, from its header to a non-packet line.
static std::map<uint64_t, std::vector<float>> documented_samples(const std::string &file)
{
    std::map<uint64_t, std::vector<float>> samples;
    std::ifstream in(std::string(VESK_SOURCE_DIR) + "/" + file);
    bool in_example = false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream row(line);
        uint64_t sequence, time_ns;  // the time, which no run repeats, is not compared
        char comma = 0;
        float sample;
        const bool is_row = in_example && row >> sequence >> comma >> time_ns && comma == ',';
        in_example = is_row || line.find("sequence,time_ns,") != std::string::npos;
        while (is_row && samples[sequence].size() < VESK_CHANNELS && row >> comma >> sample && comma == ',')
            samples[sequence].push_back(sample);  // up to "...", where the line goes on unshown
    }
    return samples;
}

// The documented CSV examples are what a run at the default rate makes, bit for bit.
TEST_F(Standin, DocumentedCsvIsWhatItMakes)
{
    Subscriber subscriber(endpoint_, 5);  // each open binds anew: it must be back before the packets
    for (const char *file : {"docs/standin.md", "packaging/standin.txt"}) {
        SCOPED_TRACE(file);
        const auto documented = documented_samples(file);
        ASSERT_GE(documented.size(), 2u);
        std::map<uint64_t, vesk_packet> made;
        // The subscriber may join after the first packets: then the device is opened again.
        for (int run = 0; run < 10 && made.count(documented.begin()->first) == 0; ++run) {
            EnableZMQData();
            OpenVeskDevice();
            vesk_packet packet = {};
            while (packet.sequence < documented.rbegin()->first && subscriber.receive(&packet) >= 0)
                made[packet.sequence] = packet;
            CloseVeskDevice();
        }
        for (const auto &[sequence, samples] : documented) {
            ASSERT_EQ(made.count(sequence), 1u) << "the stand-in never made packet " << sequence;
            for (size_t c = 0; c < samples.size(); ++c)
                EXPECT_EQ(samples[c], made[sequence].samples[c]) << "packet " << sequence << ", channel " << c;
        }
    }
}
