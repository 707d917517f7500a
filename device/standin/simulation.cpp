// A simulated device: from OpenVeskDevice on, a thread of the library's own produces packets
// at a steady rate and passes them over a link that can be told to lose some. What arrives
// is checked for gaps (logged when "bLogPackLost" is on) and published over ZMQ once
// EnableZMQData has bound the publisher. The same code runs on every platform; log_file.h
// holds what differs.
#include "simulation.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <thread>
#include <zmq.h>

#include "log_file.h"

namespace {

constexpr int kChannels = 8;
constexpr size_t kPacketSize = 8 + 8 + 4 * kChannels;
constexpr char kDefaultEndpoint[] = "tcp://127.0.0.1:5555";
constexpr long kDefaultRate = 250;
constexpr long kMaxRate = 100000;
constexpr double kPi = 3.14159265358979323846;
// A device thread further behind its schedule than this has lost the race with the machine.
constexpr std::chrono::seconds kMostBehind{1};

// One line on standard error, which is dropped rather than waited for when nobody drains it.
void say(const char *format, ...)
{
    char message[480], line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    int n = std::snprintf(line, sizeof line, "Vesk_Device: %s\n", message);
    log_file_write(log_file_standard_error(), line, static_cast<size_t>(n));
}

// The number in environment variable `name`, or `fallback` when it is unset or not a whole
// number from `min` to `max` (then with a word on standard error).
long env_number(const char *name, long fallback, long min, long max)
{
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char *end;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) {
        say("%s=%s is not a number from %ld to %ld; using %ld", name, text, min, max, fallback);
        return fallback;
    }
    return value;
}

struct Packet {
    uint64_t sequence;
    uint64_t time_ns;  // when the device made it, since the Unix epoch
    float samples[kChannels];
};

void put_le(unsigned char *to, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        to[i] = static_cast<unsigned char>(value >> (8 * i));
}

void encode(const Packet &packet, unsigned char (&out)[kPacketSize])
{
    put_le(out, packet.sequence, 8);
    put_le(out + 8, packet.time_ns, 8);
    for (int c = 0; c < kChannels; ++c) {
        uint32_t bits;
        std::memcpy(&bits, &packet.samples[c], sizeof bits);
        put_le(out + 16 + 4 * c, bits, 4);
    }
}

// Channel c carries a waveform of c + 1 hertz (sine, square, triangle, sawtooth in turn)
// and a little noise.
class Device {
public:
    explicit Device(long rate) : rate_(rate) {}

    Packet produce()
    {
        Packet packet;
        packet.sequence = next_++;
        packet.time_ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                   std::chrono::system_clock::now().time_since_epoch())
                                                   .count());
        double seconds = static_cast<double>(packet.sequence) / static_cast<double>(rate_);
        for (int c = 0; c < kChannels; ++c) {
            double phase = std::fmod(seconds * (c + 1), 1.0);
            double wave;
            switch (c % 4) {
            case 0: wave = std::sin(2 * kPi * phase); break;
            case 1: wave = phase < 0.5 ? 1.0 : -1.0; break;
            case 2: wave = 4 * std::fabs(phase - 0.5) - 1; break;
            default: wave = 2 * phase - 1; break;
            }
            packet.samples[c] = static_cast<float>(wave + noise_(random_));
        }
        return packet;
    }

private:
    long rate_;
    uint64_t next_ = 0;
    std::minstd_rand random_{12345};
    std::uniform_real_distribution<double> noise_{-0.05, 0.05};
};

class Simulation {
public:
    void enable_output()
    {
        std::lock_guard<std::mutex> call(calls_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (publisher_ != nullptr)
            return;
        const char *endpoint = std::getenv("VESK_DEVICE_ENDPOINT");
        if (endpoint == nullptr || *endpoint == '\0')
            endpoint = kDefaultEndpoint;
        context_ = zmq_ctx_new();
        publisher_ = zmq_socket(context_, ZMQ_PUB);
        int no_linger = 0;
        zmq_setsockopt(publisher_, ZMQ_LINGER, &no_linger, sizeof no_linger);
        // A second of the fastest stream may queue for a subscriber that the scheduler holds
        // up; beyond that it loses packets rather than the device waiting.
        int queue = kMaxRate;
        zmq_setsockopt(publisher_, ZMQ_SNDHWM, &queue, sizeof queue);
        if (zmq_bind(publisher_, endpoint) != 0) {
            say("no data output: cannot publish on %s: %s", endpoint, zmq_strerror(zmq_errno()));
            close_output();
        }
    }

    void open()
    {
        std::lock_guard<std::mutex> call(calls_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (device_.joinable())
            return;
        long rate = env_number("VESK_DEVICE_RATE", kDefaultRate, 1, kMaxRate);
        long drop_every = env_number("VESK_DEVICE_DROP_EVERY", 0, 0, LONG_MAX);
        stopping_ = false;
        device_ = std::thread(&Simulation::run, this, rate, drop_every);
    }

    void set(const char *key, bool value)
    {
        if (key == nullptr || std::strcmp(key, "bLogPackLost") != 0)
            return;
        std::lock_guard<std::mutex> call(calls_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (value && log_ == nullptr)
            log_ = open_log();
        log_lost_ = value;
    }

    // Once this returns, nothing more is published: the device thread has ended and the
    // socket is closed without lingering, so ending the context does not wait either.
    void close()
    {
        std::lock_guard<std::mutex> call(calls_);
        // Set before taking the lock: a device thread catching up holds it between packets.
        stopping_ = true;
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.notify_all();
        if (device_.joinable()) {
            std::thread device = std::move(device_);
            lock.unlock();
            device.join();
            lock.lock();
        }
        close_output();
        if (dropped_lines_ > 0)
            say("%llu lost-packet log lines dropped: the log would not take them without waiting",
                static_cast<unsigned long long>(dropped_lines_));
        dropped_lines_ = 0;
    }

private:
    static LogFile *open_log()
    {
        const char *path = std::getenv("VESK_DEVICE_LOG");
        if (path == nullptr || *path == '\0')
            return log_file_standard_error();
        const char *why = "";
        LogFile *file = log_file_open(path, &why);
        if (file == nullptr) {
            say("cannot open the lost-packet log %s: %s; logging to standard error", path, why);
            return log_file_standard_error();
        }
        return file;
    }

    void close_output()
    {
        if (publisher_ != nullptr)
            zmq_close(publisher_);
        if (context_ != nullptr)
            zmq_ctx_term(context_);
        publisher_ = context_ = nullptr;
    }

    // One line per gap, written in one piece: "<UTC time> lost <first>[..<last>]".
    void log_gap(uint64_t first, uint64_t last)
    {
        auto now = std::chrono::system_clock::now();
        std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        long millis = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
        char stamp[32], line[96];
        // Only the device thread breaks times down, so gmtime's shared result is safe here.
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", std::gmtime(&seconds));
        int n = first == last
                    ? std::snprintf(line, sizeof line, "%s.%03ldZ lost %llu\n", stamp, millis,
                                    static_cast<unsigned long long>(first))
                    : std::snprintf(line, sizeof line, "%s.%03ldZ lost %llu..%llu\n", stamp, millis,
                                    static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
        if (!log_file_write(log_, line, static_cast<size_t>(n)))
            ++dropped_lines_;
    }

    void run(long rate, long drop_every)
    {
        Device device(rate);
        const auto period = std::chrono::nanoseconds(1000000000L / rate);
        auto due = std::chrono::steady_clock::now();
        uint64_t expected = 0;
        bool said_behind = false;
        std::unique_lock<std::mutex> lock(mutex_);
        // Every packet that has fallen due is made at once; the thread waits only when the next
        // is not due yet. A wait per packet would cost more than a packet's period at high rates.
        while (!stopping_) {
            auto now = std::chrono::steady_clock::now();
            if (now < due) {
                wake_.wait_until(lock, due, [this] { return stopping_.load(); });
                continue;
            }
            if (now - due > kMostBehind) {
                if (!said_behind)
                    say("this machine cannot keep up with %ld packets per second; the stream comes slower than asked",
                        rate);
                said_behind = true;
                due = now;
            }
            due += period;
            Packet packet = device.produce();
            if (drop_every > 0 && packet.sequence % drop_every == static_cast<uint64_t>(drop_every - 1))
                continue;  // lost on the link: the library never sees it

            if (packet.sequence != expected && log_lost_)
                log_gap(expected, packet.sequence - 1);
            expected = packet.sequence + 1;
            if (publisher_ != nullptr) {
                unsigned char message[kPacketSize];
                encode(packet, message);
                // A subscriber that falls behind loses packets; the device does not wait.
                zmq_send(publisher_, message, sizeof message, ZMQ_DONTWAIT);
            }
        }
    }

    std::mutex calls_;  // one entry point at a time, so an open never overlaps a close's join
    std::mutex mutex_;  // guards everything below; the device thread holds it between waits
    std::condition_variable wake_;
    std::thread device_;
    std::atomic<bool> stopping_{false};
    void *context_ = nullptr;
    void *publisher_ = nullptr;
    LogFile *log_ = nullptr;
    uint64_t dropped_lines_ = 0;
    bool log_lost_ = false;
};

// Never destroyed: a device thread still running when the process exits must not meet a
// destroyed std::thread.
Simulation &simulation()
{
    static Simulation *instance = new Simulation;
    return *instance;
}

}  // namespace

void simulation_enable_output()
{
    simulation().enable_output();
}

void simulation_open()
{
    simulation().open();
}

void simulation_set(const char *key, bool value)
{
    simulation().set(key, value);
}

void simulation_close()
{
    simulation().close();
}
