// The archives' Python example run as its reader would: Debian's python3, for its python3-zmq.
#include <map>
#include <regex>

#include "support/device.h"

// Each whole line of a CSV output by its sequence number, with its first 10 columns only.
static std::map<uint64_t, std::string> lines_by_sequence(const std::string &csv)
{
    std::map<uint64_t, std::string> lines;
    const std::regex line("^([0-9]+(,[^,\n]*){9})[^\n]*\n", std::regex::multiline);
    for (std::sregex_iterator at(csv.begin(), csv.end(), line), end; at != end; ++at)
        lines[std::stoull(at->str(1))] = at->str(1);
    return lines;
}

// On a device losing every 5th packet the example prints each as the listener does, and its gaps.
TEST_F(Device, PythonExamplePrintsWhatTheListenerSees)
{
    const std::string endpoint = free_endpoint();
    ChildOptions to_file;
    to_file.stderr_path = dir_ + "/counts";
    Child listener({target().listener, "--csv", endpoint}, to_file);
    to_file.stderr_path = dir_ + "/losses";
    Child example({"/usr/bin/python3", VESK_EXAMPLE, endpoint}, to_file);
    Trace t = trace("t");
    Child server = start(t, device_options({"VESK_DEVICE_ENDPOINT=" + endpoint, "VESK_DEVICE_RATE=1000",
                                            "VESK_DEVICE_DROP_EVERY=5"}));
    std::map<uint64_t, std::string> printed, seen;
    ASSERT_TRUE(eventually([&] {  // a second of the stream that both printed
        printed = lines_by_sequence(example.output());
        seen = lines_by_sequence(listener.output());
        size_t both = 0;
        for (const auto &line : printed)
            both += seen.count(line.first);
        return both > 800;
    })) << contents(dir_ + "/losses");
    quit(server, t);

    const std::string losses = contents(dir_ + "/losses");  // every 5th: one at a time
    size_t both = 0;
    for (const auto &[sequence, line] : printed) {
        // A loss is told after a packet: from each one's second packet on.
        if (seen.count(sequence) == 0 || sequence == printed.begin()->first || sequence == seen.begin()->first)
            continue;
        EXPECT_EQ(line, seen.at(sequence));
        const bool told = losses.find("lost " + std::to_string(sequence - 1) + "\n") != std::string::npos;
        EXPECT_EQ(seen.count(sequence - 1) == 0, told) << sequence - 1;  // a gap
        ++both;
    }
    EXPECT_GT(both, 790u);
    EXPECT_GT(count_of(losses, "lost "), 150u) << losses;
}
