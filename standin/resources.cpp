#include "resources.h"

#include <future>
#include <system_error>
#include <thread>
#include <vector>

#include "vesk/says.h"

std::string missing_resources()
{
    // libzmq's context makes about a dozen descriptors and two threads; the device makes one.
    if (!can_spare_descriptors(16))
        return VESK_SAYS_FEW_DESCRIPTORS;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<std::thread> threads;
    std::string why;
    try {
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([released] { released.wait(); });
    } catch (const std::system_error &e) {
        why = std::string(VESK_SAYS_NO_THREAD) + e.what();
    }
    release.set_value();
    for (std::thread &thread : threads)
        thread.join();
    return why;
}
