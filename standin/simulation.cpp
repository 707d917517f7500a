// The simulated device: its thread makes packets on a schedule and passes them over a lossy link
// to the gap check and the publisher (docs/standin.md); the entry points' shared state.
#include "simulation.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "Vesk_Device.h"
#include "bounds.h"
#include "log_file.h"
#include "lost_log.h"
#include "publisher.h"
#include "report.h"
#include "settings.h"
#include "vesk/says.h"
#include "vesk/waveform.h"

namespace {

class Simulation {
public:
    void enable_output()
    {
        std::lock_guard<std::mutex> call(calls_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!publisher_.is_open())
            publisher_.open(settings());
    }

    void open()
    {
        std::lock_guard<std::mutex> call(calls_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (device_.joinable())
            return;
        stopping_ = false;
        try {
            device_ = std::thread(&Simulation::run, this, settings().rate, settings().drop_every);
        } catch (const std::system_error &e) {
            say("the simulated device cannot start: %s; no data", e.what());
        }
    }

    void set(const char *key, bool value)
    {
        if (key == nullptr || std::strcmp(key, VESK_LOG_LOST_KEY) != 0)
            return;
        std::lock_guard<std::mutex> call(calls_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (value && log_ == nullptr)
            log_ = open_lost_log(settings().log);
        log_lost_ = value;
    }

    // Once this returns, nothing more is published: the device thread has ended and the
    // publisher is closed.
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
        publisher_.close();
        settings_.reset();
        if (log_ != nullptr)
            say_losses(log_file_drain(log_, kSettleMs), VESK_SAYS_LOG_LINES, "the log");
        // The process may end right after this returns; what the stand-in's own lines have
        // queued gets its moment too.
        say_drain(kSettleMs);
    }

private:
    // One run's settings, read at the first entry point that needs them.
    const Settings &settings()
    {
        if (!settings_)
            settings_ = read_settings();
        return *settings_;
    }

    // Packet n's stamp is the moment it was due on the device's schedule, told on the system
    // clock: the schedule's start plus vesk_due_ns(n), also in the burst after a stall.
    void run(long rate, long drop_every)
    {
        using std::chrono::nanoseconds;
        uint32_t noise = VESK_NOISE_SEED;
        auto origin = std::chrono::steady_clock::now();
        uint64_t origin_ns = static_cast<uint64_t>(
            std::chrono::duration_cast<nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
        uint64_t next = 0, expected = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        // Every packet due is made at once (a wait per packet costs more than a period at high
        // rates), letting go of the state lock for each, so an entry point never waits longer.
        while (!stopping_) {
            auto offset = nanoseconds(vesk_due_ns(next, rate));
            auto now = std::chrono::steady_clock::now();
            if (now < origin + offset) {
                wake_.wait_until(lock, origin + offset, [this] { return stopping_.load(); });
                continue;
            }
            // Held up (a stopped process, a busy machine): the schedule's start moves on as far,
            // so every stamp is still a start plus vesk_due_ns(n) and the stamps jump with it.
            if (auto behind = now - (origin + offset); behind > kMostBehind) {
                say("the device fell %.1f" VESK_SAYS_MOVED_ON, std::chrono::duration<double>(behind).count());
                origin += behind;
                origin_ns += static_cast<uint64_t>(std::chrono::duration_cast<nanoseconds>(behind).count());
            }
            vesk_packet packet;
            packet.sequence = next++;
            packet.time_ns = origin_ns + static_cast<uint64_t>(offset.count());
            Publisher *publisher = publisher_.is_open() ? &publisher_ : nullptr;
            LogFile *log = log_lost_ ? log_ : nullptr;
            lock.unlock();

            vesk_fill_samples(&packet, rate, &noise);
            bool lost = drop_every > 0 && packet.sequence % drop_every == static_cast<uint64_t>(drop_every - 1);
            if (!lost) {  // a lost packet never reaches the library
                if (packet.sequence != expected && log != nullptr)
                    log_gap(log, expected, packet.sequence - 1);
                expected = packet.sequence + 1;
                if (publisher != nullptr)
                    publisher->send(packet);
            }
            lock.lock();
            // Under the lock: an EnableZMQData meanwhile must find it open or closed.
            if (publisher != nullptr && publisher->has_too_many_subscriptions())
                publisher->drop_subscribers();
        }
    }

    std::mutex calls_;  // one entry point at a time, so an open never overlaps a close's join
    std::mutex mutex_;  // guards everything below; the device thread holds it only between packets
    std::condition_variable wake_;
    std::thread device_;
    std::atomic<bool> stopping_{false};
    std::optional<Settings> settings_;
    Publisher publisher_;     // only a close, after the device thread has ended, closes it
    LogFile *log_ = nullptr;  // never closed once open
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
