// The stand-in library called directly, in orders the server never uses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <string>
#include <thread>

#include "Vesk_Device.h"

static int threads()
{
    int n = 0;
    DIR *tasks = opendir("/proc/self/task");
    while (dirent *entry = readdir(tasks))
        n += entry->d_name[0] != '.';
    closedir(tasks);
    return n;
}

TEST(Standin, CallsOutOfOrderAreHarmlessAndCloseLeavesNoThread)
{
    char dir[] = "/tmp/vesk-standin-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("VESK_DEVICE_ENDPOINT", ("ipc://" + std::string(dir) + "/data").c_str(), 1);
    const int before = threads();

    CloseVeskDevice();
    SetConfig_Bool(nullptr, true);
    SetConfig_Bool("bSomethingElse", true);
    OpenVeskDevice();
    OpenVeskDevice();
    EnableZMQData();
    EnableZMQData();
    SetConfig_Bool("bLogPackLost", false);
    CloseVeskDevice();
    CloseVeskDevice();
    EXPECT_EQ(threads(), before);

    // Closed, it can be opened again.
    EnableZMQData();
    OpenVeskDevice();
    CloseVeskDevice();
    EXPECT_EQ(threads(), before);

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
    EXPECT_EQ(threads(), before);
    std::filesystem::remove_all(dir);
}
