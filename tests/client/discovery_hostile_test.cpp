// A scan while a host on the link answers with far too much: thousands of
// instances, one with 40 addresses, one whose SRV port keeps changing, and a
// flood of pointer-chain replies at the legacy-unicast socket
// (discovery_hostile_responder.py, on the other host of the veth pair).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "client/client.hpp"
#include "discovery_support.hpp"

namespace tq {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::MatchesRegex;

size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    size_t total = 0;
    size_t resident = 0;
    statm >> total >> resident;
    return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

TEST(HostileResponder, cannot_stall_a_scan_grow_its_memory_or_multiply_its_devices) {
    // The device behind the flapping instance, on either of its ports.
    testing::SimOptions device;
    device.devices = 2;
    device.serial = 1;
    device.advertise = false;
    const auto sims = testing::start_sims({device});
    ASSERT_EQ(sims.size(), 1u);
    const auto net = testing::Network::current();
    testing::ChildProcess responder({testing::test_python(), TQ_HOSTILE_RESPONDER_SCRIPT, net.peer_addresses.at(0),
                                     std::to_string(sims[0]->ports[0]), std::to_string(sims[0]->ports[1])},
                                    net.peer);
    ASSERT_TRUE(responder.wait_for_line("READY", 10s));

    const size_t before = resident_bytes();
    std::atomic<size_t> peak{before};
    std::atomic<bool> scanning{true};
    std::thread sampler([&] {
        while (scanning) {
            peak = std::max(peak.load(), resident_bytes());
            std::this_thread::sleep_for(5ms);
        }
    });
    testing::StdoutCapture out;
    const auto start = std::chrono::steady_clock::now();
    const auto devices = Client{}.scan_for_devices_with_timeout(1s);
    const auto took = std::chrono::steady_clock::now() - start;
    scanning = false;
    sampler.join();
    const auto lines = testing::lines_of(out.finish());
    const size_t grown = peak - before;
    RecordProperty("scan_ms", std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    RecordProperty("rss_growth_kib", std::to_string(grown / 1024));

    ASSERT_TRUE(devices.has_value()) << devices.error().debug_text();
    // Not a speed target: a poll thread that cannot keep up with the flood
    // holds the scan until the flood stops, 4 s later.
    EXPECT_LT(took, 3s);
    EXPECT_LT(grown, size_t{64} << 20);
    // Reported once, connected once, whichever port it had then.
    EXPECT_EQ(devices->size(), 1u);
    EXPECT_THAT(lines,
                Contains(MatchesRegex("Dropped [0-9]+ DNS-SD service instances beyond the first 1024 of this scan")));
    EXPECT_THAT(
        lines,
        Contains(MatchesRegex("Dropped [0-9]+ addresses of DNS-SD service instances beyond the first 16 of each")));
    EXPECT_THAT(lines, Contains("Reported 1 DNS-SD service instance once although its SRV record kept changing"));
}

}  // namespace
}  // namespace tq
