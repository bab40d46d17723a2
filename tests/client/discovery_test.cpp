// Client::scan_for_devices end to end: the client's mDNS against simulated
// devices advertised by plenko-tq-sim (and one by python-zeroconf), on the
// other host of the private veth pair unless a test says otherwise.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

#include "client/client.hpp"
#include "discovery_support.hpp"

namespace tq {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

using Clock = std::chrono::steady_clock;

std::vector<uint64_t> serials(const std::vector<Device>& devices) {
    std::vector<uint64_t> out;
    for (const auto& d : devices) out.push_back(d.get_serial_number());
    return out;
}

testing::SimOptions sim_with(uint64_t serial, size_t devices = 1) {
    testing::SimOptions o;
    o.serial = serial;
    o.devices = devices;
    return o;
}

// Waits long enough for a resolution even under load; the speed of short
// scans is the benchmark's business.
constexpr auto kWait = 700ms;

TEST(Discovery, an_empty_network_gives_an_empty_list_after_the_one_second_wait) {
    const auto start = Clock::now();
    const auto devices = Client{}.scan_for_devices();
    const auto took = Clock::now() - start;
    ASSERT_TRUE(devices.has_value()) << devices.error().debug_text();
    EXPECT_THAT(*devices, IsEmpty());
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, 3s);
}

TEST(Discovery, devices_come_sorted_by_ean_then_serial) {
    auto a = sim_with(500, 2);
    a.ean = "4062138020019";
    auto b = sim_with(900, 2);
    b.ean = "4062138020002";  // smaller EAN: first, despite the larger serials
    auto c = sim_with(100);
    c.ean = "4062138020019";
    const auto sims = testing::start_sims({a, b, c});
    ASSERT_EQ(sims.size(), 3u);
    const auto devices = Client{}.scan_for_devices_with_timeout(kWait);
    ASSERT_TRUE(devices.has_value());
    EXPECT_THAT(serials(*devices), ElementsAre(900u, 901u, 100u, 500u, 501u));
}

TEST(Discovery, a_protocol_3_device_is_skipped_with_exactly_the_incompatibility_line) {
    auto newer = sim_with(300);
    newer.protocol_version = 3;
    const auto sims = testing::start_sims({sim_with(1), newer});
    ASSERT_EQ(sims.size(), 2u);
    testing::StdoutCapture out;
    const auto devices = Client{}.scan_for_devices_with_timeout(kWait);
    const std::string printed = out.finish();
    ASSERT_TRUE(devices.has_value());
    EXPECT_THAT(serials(*devices), ElementsAre(1u));
    EXPECT_EQ(printed, "Encountered a device with newer (incompatible) firmware\n");
}

TEST(Discovery, a_device_refusing_connections_is_reported_and_the_others_returned) {
    auto with_refused = sim_with(10, 2);
    with_refused.refused = true;
    const auto sims = testing::start_sims({with_refused});
    ASSERT_EQ(sims.size(), 1u);
    testing::StdoutCapture out;
    const auto devices = Client{}.scan_for_devices_with_timeout(kWait);
    const std::string printed = out.finish();
    ASSERT_TRUE(devices.has_value());
    EXPECT_THAT(serials(*devices), ElementsAre(10u, 11u));
    EXPECT_EQ(printed, "Failed to connect to device NetworkError\n");
}

TEST(Discovery, a_device_advertised_twice_is_listed_twice) {
    auto twice = sim_with(42, 2);
    twice.twice = {1};
    const auto sims = testing::start_sims({twice});
    ASSERT_EQ(sims.size(), 1u);
    const auto devices = Client{}.scan_for_devices_with_timeout(kWait);
    ASSERT_TRUE(devices.has_value());
    EXPECT_THAT(serials(*devices), ElementsAre(42u, 43u, 43u));
}

TEST(Discovery, a_device_advertised_by_python_zeroconf_is_found_and_connected) {
    // Another mDNS implementation on the device's side: only the TCP part is
    // simulated here, the advertisement is python-zeroconf's.
    auto plain = sim_with(7007);
    plain.advertise = false;
    const auto sims = testing::start_sims({plain});
    ASSERT_EQ(sims.size(), 1u);
    testing::ZeroconfPeer peer("Zeroconf device", sims[0]->ports[0]);
    ASSERT_TRUE(peer.ready()) << "python-zeroconf did not register; the interpreter used is " << testing::test_python()
                              << " (set PLENKO_TEST_PYTHON to one with zeroconf)";
    const auto devices = Client{}.scan_for_devices_with_timeout(kWait);
    ASSERT_TRUE(devices.has_value());
    ASSERT_THAT(serials(*devices), ElementsAre(7007u));
    const auto name = devices->front().get_name();
    ASSERT_TRUE(name.has_value()) << name.error().debug_text();
    EXPECT_FALSE(name->empty());
}

TEST(Discovery, a_zero_wait_ends_at_once_with_whatever_was_connected) {
    const auto sims = testing::start_sims({sim_with(5)});
    ASSERT_EQ(sims.size(), 1u);
    const auto start = Clock::now();
    const auto devices = Client{}.scan_for_devices_with_timeout(0ns);
    EXPECT_LT(Clock::now() - start, 2s);
    ASSERT_TRUE(devices.has_value());
    ASSERT_LE(devices->size(), 1u);
    for (const auto& d : *devices) {
        EXPECT_EQ(d.get_serial_number(), 5u);
        EXPECT_TRUE(d.get_name().has_value());
    }
}

TEST(Discovery, two_scans_give_independent_devices) {
    const auto sims = testing::start_sims({sim_with(77)});
    ASSERT_EQ(sims.size(), 1u);
    auto first = Client{}.scan_for_devices_with_timeout(kWait);
    auto second = Client{}.scan_for_devices_with_timeout(kWait);
    ASSERT_TRUE(first.has_value() && second.has_value());
    ASSERT_THAT(serials(*first), ElementsAre(77u));
    ASSERT_THAT(serials(*second), ElementsAre(77u));
    // Each has its own connection: both work, and either outlives the other.
    EXPECT_TRUE(first->front().get_name().has_value());
    EXPECT_TRUE(second->front().get_name().has_value());
    first->clear();
    EXPECT_TRUE(second->front().get_firmware_version().has_value());
}

TEST(Discovery, finds_devices_on_both_hosts_of_the_veth_pair) {
    auto here = sim_with(1);
    here.in_peer = false;  // loopback of this host
    const auto sims = testing::start_sims({here, sim_with(2)});
    ASSERT_EQ(sims.size(), 2u);
    const auto devices = Client{}.scan_for_devices_with_timeout(kWait);
    ASSERT_TRUE(devices.has_value());
    ASSERT_THAT(serials(*devices), UnorderedElementsAre(1u, 2u));
    for (const auto& d : *devices) {
        const std::string at = d.address().to_string();
        if (d.get_serial_number() == 1) {
            EXPECT_EQ(at, "127.0.0.1:" + std::to_string(sims[0]->ports[0]));
        } else {
            // Reached over the link, on one of the addresses the other host advertised.
            EXPECT_THAT(at, ::testing::AnyOf(::testing::StartsWith("10.77.0.2:"), ::testing::StartsWith("[fd77::2")));
        }
    }
}

// Responders delay a multicast answer by 20 to 120 ms and hold back one
// they sent moments ago; the question sent at once from a port of the
// querier's own is answered at once, by unicast, which is what lets a 100 ms
// scan find devices, even back to back and right after the device announced
// itself.
TEST(Discovery, an_idle_device_is_found_by_100ms_scans_nine_times_in_ten) {
    const auto sims = testing::start_sims({sim_with(8)});
    ASSERT_EQ(sims.size(), 1u);
    int found = 0;
    for (int i = 0; i < 10; ++i) {
        // Past the half second in which a responder will not repeat a
        // multicast answer: each scan meets a device that has been quiet.
        std::this_thread::sleep_for(600ms);
        const auto devices = Client{}.scan_for_devices_with_timeout(100ms);
        ASSERT_TRUE(devices.has_value());
        found += devices->size() == 1 ? 1 : 0;
    }
    EXPECT_GE(found, 9);
}

TEST(Discovery, back_to_back_100ms_scans_find_a_device_just_announced_nine_times_in_ten) {
    const auto sims = testing::start_sims({sim_with(9)});
    ASSERT_EQ(sims.size(), 1u);
    int found = 0;
    for (int i = 0; i < 10; ++i) {
        const auto devices = Client{}.scan_for_devices_with_timeout(100ms);
        ASSERT_TRUE(devices.has_value());
        found += devices->size() == 1 ? 1 : 0;
    }
    EXPECT_GE(found, 9);
}

// avahi-daemon, a responder nobody here wrote: it publishes a device from a
// static service file on the other host, or holds UDP 5353 on this one, as
// a system responder does, while the scans run beside it.
std::optional<testing::ChildProcess> avahi_daemon(const std::string& netns, std::vector<std::string> service = {}) {
    if (::access("/usr/sbin/avahi-daemon", X_OK) != 0) return std::nullopt;
    std::vector<std::string> args = {testing::test_python(), TQ_AVAHI_PEER_SCRIPT};
    args.insert(args.end(), service.begin(), service.end());
    testing::ChildProcess daemon(args, netns);
    if (!daemon.wait_for_line("READY", 20s)) return std::nullopt;
    return daemon;
}

TEST(Discovery, a_device_published_by_avahi_daemon_is_found_and_connected) {
    auto device = sim_with(31);
    device.advertise = false;
    const auto sims = testing::start_sims({device});
    ASSERT_EQ(sims.size(), 1u);
    const auto avahi =
        avahi_daemon(testing::Network::current().peer, {"avahi-published", std::to_string(sims[0]->ports[0])});
    if (!avahi) GTEST_SKIP() << "avahi-daemon is not installed or did not start";
    const auto devices = Client{}.scan_for_devices_with_timeout(kWait);
    ASSERT_TRUE(devices.has_value());
    EXPECT_THAT(serials(*devices), ElementsAre(31u));
}

TEST(Discovery, beside_avahi_daemon_100ms_scans_find_every_device_nine_times_in_ten) {
    const auto sims = testing::start_sims({sim_with(41), sim_with(42), sim_with(43)});
    ASSERT_EQ(sims.size(), 3u);
    const auto avahi = avahi_daemon(testing::Network::current().local);
    if (!avahi) GTEST_SKIP() << "avahi-daemon is not installed or did not start";
    int found = 0;
    for (int i = 0; i < 10; ++i) {
        const auto devices = Client{}.scan_for_devices_with_timeout(100ms);
        ASSERT_TRUE(devices.has_value());
        found += devices->size() == 3 ? 1 : 0;
    }
    RecordProperty("scans_finding_all", found);
    EXPECT_GE(found, 9);
}

}  // namespace
}  // namespace tq
