// A simulated device: from OpenVeskDevice on, a thread of the library's own produces packets
// at a steady rate and passes them over a link that can be told to lose some. What arrives
// is checked for gaps (logged when "bLogPackLost" is on) and published over ZMQ once
// EnableZMQData has bound the publisher. The same code runs on every platform; log_file.h and
// resources.h hold what differs.
#include "simulation.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <zmq.h>

#include "log_file.h"
#include "vesk/message.h"
#include "resources.h"
#include "socket_file.h"
#include "standin.h"

namespace {

constexpr long kDefaultRate = 250;
constexpr double kPi = 3.14159265358979323846;
// A device thread further behind its schedule than this has lost the race with the machine.
constexpr std::chrono::seconds kMostBehind{1};
// The most a peer may send in one message: a subscription to a whole packet and then some.
constexpr int64_t kMostInbound = 256;
// What a close gives a log's queued lines before it counts them as dropped.
constexpr int kSettleMs = 100;

// The number in environment variable `name`, or `fallback` when it is unset or not a whole
// number from `min` to `max` (then with a word on standard error, unless `quiet`). Plain
// decimal digits only: no sign, no blanks, on either side.
long env_number(const char *name, long fallback, long min, long max, bool quiet = false)
{
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    bool digits = std::strspn(text, "0123456789") == std::strlen(text);
    if (!digits || errno != 0 || value < min || value > max) {
        if (!quiet)
            say("%s=%s is not a number from %ld to %ld; using %ld", name, text, min, max, fallback);
        return fallback;
    }
    return value;
}

// Channel c carries a waveform of c + 1 hertz (sine, square, triangle, sawtooth in turn)
// and a little noise.
class Device {
public:
    explicit Device(long rate) : rate_(rate) {}

    // The next packet, stamped `time_ns`.
    vesk_packet produce(uint64_t time_ns)
    {
        vesk_packet packet;
        packet.sequence = next_++;
        packet.time_ns = time_ns;
        double seconds = static_cast<double>(packet.sequence) / static_cast<double>(rate_);
        for (int c = 0; c < VESK_CHANNELS; ++c) {
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

// The file an ipc:// endpoint binds, or an empty string for any other endpoint (an abstract
// ipc:// name included).
std::string socket_path(const std::string &endpoint)
{
    const std::string ipc = "ipc://";
    if (endpoint.compare(0, ipc.size(), ipc) != 0 || endpoint.size() == ipc.size() || endpoint[ipc.size()] == '@')
        return "";
    return endpoint.substr(ipc.size());
}

// Why `endpoint` must not be bound, or an empty string. libzmq removes whatever stands at an
// ipc:// path before it binds there, another program's live socket included, so only a socket
// file nobody listens on (a run that ended without a close left it) may be there. libzmq takes
// a TCP port modulo 65536 after reading as much of it as looks like a number ("+70080" is 4544).
std::string endpoint_refusal(const std::string &endpoint)
{
    const std::string tcp = "tcp://", path = socket_path(endpoint);
    if (!path.empty()) {
        std::error_code error;
        auto type = std::filesystem::symlink_status(path, error).type();
        if (type == std::filesystem::file_type::none)
            return "its path cannot be looked at: " + error.message();
        if (type != std::filesystem::file_type::not_found &&
            !(type == std::filesystem::file_type::socket && socket_file_is_stale(path)))
            return "something is there already, and it is left alone";
    }
    if (endpoint.compare(0, tcp.size(), tcp) == 0) {
        std::string port = endpoint.substr(endpoint.rfind(':') + 1);
        bool decimal = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        if (port != "*" && (!decimal || std::stol(port) < 1 || std::stol(port) > 65535))
            return "the port is not one from 1 to 65535, nor *";
    }
    return "";
}

// libzmq asserts, ending the process, when it cannot make a thread or a descriptor it needs,
// so what it will need is tried first. Why not, or an empty string.
std::string missing_resources()
{
    // libzmq's context makes about a dozen descriptors and two threads; the device makes one.
    if (!can_spare_descriptors(16))
        return "too few file descriptors are left";
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<std::thread> threads;
    std::string why;
    try {
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([released] { released.wait(); });
    } catch (const std::system_error &e) {
        why = std::string("no thread can be made: ") + e.what();
    }
    release.set_value();
    for (std::thread &thread : threads)
        thread.join();
    return why;
}

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
            endpoint = VESK_DEFAULT_ENDPOINT;
        std::string why = endpoint_refusal(endpoint);
        if (why.empty())
            why = missing_resources();
        if (!why.empty()) {
            say("no data output: cannot publish on %s: %s", endpoint, why.c_str());
            return;
        }
        context_ = zmq_ctx_new();
        publisher_ = context_ != nullptr ? zmq_socket(context_, ZMQ_PUB) : nullptr;
        if (publisher_ == nullptr) {
            say("no data output: cannot publish on %s: %s", endpoint, zmq_strerror(zmq_errno()));
            close_output();
            return;
        }
        int no_linger = 0;
        zmq_setsockopt(publisher_, ZMQ_LINGER, &no_linger, sizeof no_linger);
        // A second of the stream, but no less than libzmq's own 1000 messages, may queue for a
        // subscriber that the scheduler holds up; beyond that it loses packets rather than the
        // device waiting, and a subscriber that reads nothing costs the host no more than that
        // (about 85 bytes a message). The kernel's send buffer is left to grow: capping it
        // moves what it would hold into the host's own memory.
        int queue = static_cast<int>(
            std::max(1000L, env_number("VESK_DEVICE_RATE", kDefaultRate, 1, VESK_MAX_RATE, true)));
        zmq_setsockopt(publisher_, ZMQ_SNDHWM, &queue, sizeof queue);
        // A subscription is all a subscriber sends, and libzmq keeps every one in full: a peer
        // that sends more than any prefix of a packet needs is dropped before it is read.
        int64_t most_inbound = kMostInbound;
        zmq_setsockopt(publisher_, ZMQ_MAXMSGSIZE, &most_inbound, sizeof most_inbound);
        if (zmq_bind(publisher_, endpoint) != 0) {
            say("no data output: cannot publish on %s: %s", endpoint, zmq_strerror(zmq_errno()));
            close_output();
            return;
        }
        socket_path_ = socket_path(endpoint);
        if (!socket_path_.empty())
            socket_file_ = file_identity(socket_path_);
    }

    void open()
    {
        std::lock_guard<std::mutex> call(calls_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (device_.joinable())
            return;
        long rate = env_number("VESK_DEVICE_RATE", kDefaultRate, 1, VESK_MAX_RATE);
        long drop_every = env_number("VESK_DEVICE_DROP_EVERY", 0, 0, LONG_MAX);
        stopping_ = false;
        try {
            device_ = std::thread(&Simulation::run, this, rate, drop_every);
        } catch (const std::system_error &e) {
            say("the simulated device cannot start: %s; no data", e.what());
        }
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
        if (log_ != nullptr)
            say_losses(log_file_settle(log_, kSettleMs), "lost-packet log lines", "the log");
        // The process may end right after this returns; what the stand-in's own lines have
        // queued gets its moment too.
        say_settle(kSettleMs);
    }

private:
    // Standard error, when the log goes there, is a log of its own, so that the stand-in's other
    // lines there are never counted as lost-packet lines.
    static LogFile *open_log()
    {
        const char *path = std::getenv("VESK_DEVICE_LOG");
        if (path == nullptr || *path == '\0')
            return log_file_standard_error();
        std::string why;
        LogFile *file = log_file_open(path, &why);
        if (file == nullptr) {
            say("cannot open the lost-packet log %s: %s; logging to standard error", path, why.c_str());
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
        // libzmq leaves the socket file behind; one that another program has put there since is
        // not ours to remove.
        if (!socket_path_.empty())
            remove_socket_file(socket_path_, socket_file_);
        socket_path_.clear();
    }

    // One line per gap, written in one piece: "<UTC time> lost <first>[..<last>]".
    static void log_gap(LogFile *log, uint64_t first, uint64_t last)
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
        log_file_write(log, line, static_cast<size_t>(n));
    }

    // A packet's stamp is the moment it was due on the device's schedule, told on the system
    // clock: consecutive packets are one period apart, also in the burst after a stall.
    void run(long rate, long drop_every)
    {
        Device device(rate);
        const auto period = std::chrono::nanoseconds(1000000000L / rate);
        const auto start = std::chrono::steady_clock::now();
        const uint64_t start_ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                            std::chrono::system_clock::now().time_since_epoch())
                                                            .count());
        auto due = start;
        uint64_t expected = 0;
        bool said_behind = false;
        std::unique_lock<std::mutex> lock(mutex_);
        // Every packet that has fallen due is made at once; the thread waits only when the next
        // is not due yet. A wait per packet would cost more than a packet's period at high rates.
        // The state lock is let go for each packet's work, so an entry point never waits longer.
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
            const uint64_t stamp =
                start_ns + static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(due - start).count());
            due += period;
            void *publisher = publisher_;
            LogFile *log = log_lost_ ? log_ : nullptr;
            lock.unlock();

            vesk_packet packet = device.produce(stamp);
            bool lost = drop_every > 0 && packet.sequence % drop_every == static_cast<uint64_t>(drop_every - 1);
            if (!lost) {  // a lost packet never reaches the library
                if (packet.sequence != expected && log != nullptr)
                    log_gap(log, expected, packet.sequence - 1);
                expected = packet.sequence + 1;
                if (publisher != nullptr) {
                    unsigned char message[VESK_MESSAGE_SIZE];
                    vesk_encode(&packet, message);
                    // A subscriber that falls behind loses packets; the device does not wait.
                    zmq_send(publisher, message, sizeof message, ZMQ_DONTWAIT);
                }
            }
            lock.lock();
        }
    }

    std::mutex calls_;  // one entry point at a time, so an open never overlaps a close's join
    std::mutex mutex_;  // guards everything below; the device thread holds it only between packets
    std::condition_variable wake_;
    std::thread device_;
    std::atomic<bool> stopping_{false};
    void *context_ = nullptr;
    void *publisher_ = nullptr;  // only a close, after the device thread has ended, closes it
    std::string socket_path_;    // the socket file the publisher bound, if any
    FileIdentity socket_file_;
    LogFile *log_ = nullptr;     // never closed once open
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
