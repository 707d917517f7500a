// The archives' Python example run as its reader would: Debian's python3, for its python3-zmq.
#include <map>
#include <set>
#include <sstream>

#include "support/device.h"

// Each whole line of a CSV output by its sequence number, with the first `columns` columns only.
static std::map<uint64_t, std::string> lines_by_sequence(const std::string &csv, size_t columns)
{
    std::map<uint64_t, std::string> lines;
    std::istringstream in(csv);
    for (std::string line; std::getline(in, line) && !in.eof();) {
        size_t end = 0;
        for (size_t c = 0; c < columns && end != std::string::npos; ++c)
            end = line.find(',', end + 1);
        if (!line.empty() && line[0] >= '0' && line[0] <= '9' && count_of(line, ",") + 1 >= columns)
            lines[std::stoull(line)] = line.substr(0, end);
    }
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
        printed = lines_by_sequence(example.output(), 10);
        seen = lines_by_sequence(listener.output(), 10);
        size_t both = 0;
        for (const auto &line : printed)
            both += seen.count(line.first);
        return both > 800;
    })) << contents(dir_ + "/losses");
    quit(server, t);

    std::set<uint64_t> losses;
    std::istringstream told_lines(contents(dir_ + "/losses"));
    for (std::string line; std::getline(told_lines, line);)
        losses.insert(std::stoull(line.substr(line.find(' ') + 1)));  // every 5th: one at a time
    size_t both = 0;
    for (const auto &[sequence, line] : printed) {
        // A loss is told after a packet: from each one's second packet on.
        if (seen.count(sequence) == 0 || sequence == printed.begin()->first || sequence == seen.begin()->first)
            continue;
        EXPECT_EQ(line, seen.at(sequence));
        EXPECT_EQ(seen.count(sequence - 1) == 0, losses.count(sequence - 1) > 0) << sequence - 1;  // a gap
        ++both;
    }
    EXPECT_GT(both, 790u);
    EXPECT_GT(losses.size(), 150u) << contents(dir_ + "/losses");
}
