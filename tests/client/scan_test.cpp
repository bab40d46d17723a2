// The scan with its DNS-SD daemon replaced by a scripted one, so that every
// failure path can be reached; devices are real simulated ones on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <system_error>

#include "client/scan.hpp"
#include "discovery_support.hpp"
#include "sim/simulator.hpp"

namespace tq {
namespace {

using namespace std::chrono_literals;
using dnssd::EventKind;
using dnssd::ServiceEvent;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr auto kShortTimeout = 500ms;

struct Script {
    std::vector<ServiceEvent> at_browse;
    std::vector<ServiceEvent> at_shutdown;  // queued while shutting down, before the disconnection
    bool create_fails = false;
    bool browse_fails = false;
    bool shutdown_fails = false;
    bool shutdown_throws = false;
    bool disconnect_on_shutdown = true;
    bool worker_fails = false;

    std::string browsed;
    int shutdowns = 0;
    bool destroyed = false;
    std::atomic<int> connects{0};
    std::chrono::nanoseconds connect_timeout{0};
    std::function<void()> on_connect;  // runs before each connect
};

class ScriptedDaemon final : public dnssd::ServiceDaemon {
public:
    explicit ScriptedDaemon(Script& script) : script_(script) {}
    ~ScriptedDaemon() override { script_.destroyed = true; }

    tl::expected<std::shared_ptr<dnssd::EventChannel>, dnssd::Failure> browse(std::string_view type) override {
        script_.browsed = type;
        if (script_.browse_fails) return tl::unexpected(dnssd::Failure::Browse);
        channel_ = std::make_shared<dnssd::EventChannel>();
        for (const auto& e : script_.at_browse) channel_->send(e);
        return channel_;
    }
    tl::expected<void, dnssd::Failure> shutdown() override {
        ++script_.shutdowns;
        if (script_.shutdown_throws) throw std::runtime_error("cannot reach the daemon");
        if (channel_) {
            for (const auto& e : script_.at_shutdown) channel_->send(e);
            if (script_.disconnect_on_shutdown) channel_->close();
        }
        if (script_.shutdown_fails) return tl::unexpected(dnssd::Failure::Shutdown);
        return {};
    }

private:
    Script& script_;
    std::shared_ptr<dnssd::EventChannel> channel_;
};

scan::Collaborators scripted(Script& script) {
    scan::Collaborators with = scan::Collaborators::standard();
    with.create_daemon = [&script]() -> dnssd::DaemonResult {
        if (script.create_fails) return tl::unexpected(dnssd::Failure::CreateDaemon);
        return std::make_unique<ScriptedDaemon>(script);
    };
    with.start_worker = [&script](std::function<void()> body) {
        if (script.worker_fails)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    with.connect = [&script](const ResolvedService& service, std::chrono::nanoseconds timeout) {
        ++script.connects;
        script.connect_timeout = timeout;
        if (script.on_connect) script.on_connect();
        return Device::connect(service, timeout);
    };
    return with;
}

ServiceEvent resolved(uint16_t port, const std::string& host = "127.0.0.1") {
    ResolvedService service;
    service.instance_name = "device on " + std::to_string(port);
    ServiceAddress a;
    ServiceAddress::parse(host, a);
    service.addresses.push_back(a);
    service.port = port;
    return {EventKind::ServiceResolved, service};
}

sim::DeviceModel model(uint64_t ean, uint64_t serial, uint32_t protocol = 2) {
    sim::DeviceModel m;
    m.ean = ean;
    m.serial_number = serial;
    m.protocol_version = protocol;
    return m;
}

std::vector<uint64_t> serials(const std::vector<Device>& devices) {
    std::vector<uint64_t> out;
    for (const auto& d : devices) out.push_back(d.get_serial_number());
    return out;
}

// A port that refuses connections: bound, never listening.
class RefusingPort {
public:
    RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t size = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    uint16_t port() const { return port_; }

private:
    int fd_;
    uint16_t port_ = 0;
};

struct Failing {
    const char* what;
    void (*arrange)(Script&);
    const char* message;
    bool shut_down;  // was the daemon told to stop
    bool connected;  // did the worker get to connect the queued device
};

class ScanFailure : public ::testing::TestWithParam<Failing> {};

TEST_P(ScanFailure, ends_with_a_device_discovery_error) {
    sim::Simulator sim({model(0x100, 1)});
    sim.start();
    Script script;
    script.at_browse = {resolved(sim.port(0))};
    GetParam().arrange(script);
    const auto result = scan::run(scripted(script), 50ms, kShortTimeout);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), Error(Error::Kind::DeviceDiscoveryError, GetParam().message));
    EXPECT_EQ(script.shutdowns > 0, GetParam().shut_down);
    EXPECT_EQ(script.connects > 0, GetParam().connected);
    EXPECT_TRUE(script.destroyed || script.create_fails);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScanFailure,
    ::testing::Values(Failing{"daemon_cannot_be_created", [](Script& s) { s.create_fails = true; },
                              "Failed to create MDNS Service Daemon", false, false},
                      Failing{"browse_fails_and_the_daemon_is_released_without_shutdown",
                              [](Script& s) { s.browse_fails = true; }, "Failed to browse for service", false, false},
                      Failing{"worker_thread_cannot_start", [](Script& s) { s.worker_fails = true; },
                              "Failed to start the scan worker thread", true, false},
                      // The worker still drains and ends: the scan closes the channel itself.
                      Failing{"shutdown_fails_and_never_disconnects",
                              [](Script& s) {
                                  s.shutdown_fails = true;
                                  s.disconnect_on_shutdown = false;
                              },
                              "Failed to shut down MDNS Service Daemon", true, true},
                      Failing{"shutdown_throws", [](Script& s) { s.shutdown_throws = true; },
                              "Failed to shut down MDNS Service Daemon", true, true}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Scan, browses_the_command_api_service_type_and_connects_with_the_clients_timeout) {
    sim::Simulator sim({model(0x100, 1)});
    sim.start();
    Script script;
    script.at_browse = {resolved(sim.port(0))};
    const auto result = scan::run(scripted(script), 10ms, 777ms);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(script.browsed, "_px-command-api._tcp.local.");
    EXPECT_EQ(script.connect_timeout, 777ms);
    EXPECT_EQ(script.shutdowns, 1);
    EXPECT_TRUE(script.destroyed);
}

struct Ordering {
    const char* what;
    std::vector<sim::DeviceModel> devices;  // resolved in this order
    std::vector<uint64_t> expected_serials;
};

class ScanOrder : public ::testing::TestWithParam<Ordering> {};

TEST_P(ScanOrder, sorts_by_ean_then_serial_keeping_equal_keys_in_connect_order) {
    sim::Simulator sim(GetParam().devices);
    sim.start();
    Script script;
    for (size_t i = 0; i < sim.device_count(); ++i) script.at_browse.push_back(resolved(sim.port(i)));
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(serials(*result), ElementsAreArray(GetParam().expected_serials));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScanOrder,
    ::testing::Values(
        Ordering{
            "smaller_ean_first_whatever_the_serial", {model(0x200, 1), model(0x100, 9), model(0x300, 5)}, {9, 1, 5}},
        Ordering{"equal_eans_by_serial", {model(0x100, 30), model(0x100, 10), model(0x100, 20)}, {10, 20, 30}},
        Ordering{"eans_compared_as_unsigned_64_bit",
                 {model(0xFFFF'FFFF'FFFF'FFFF, 1), model(0x1, 2), model(0x8000'0000'0000'0000, 3)},
                 {2, 3, 1}},
        Ordering{"serials_compared_as_unsigned_64_bit",
                 {model(0x100, 0x8000'0000'0000'0000), model(0x100, 7)},
                 {7, 0x8000'0000'0000'0000}},
        Ordering{"equal_keys_stay_in_connect_order", {model(0x100, 4), model(0x100, 4)}, {4, 4}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Scan, equal_keys_keep_the_order_in_which_the_handshakes_succeeded) {
    sim::Simulator sim({model(0x100, 4), model(0x100, 4), model(0x100, 4)});
    sim.start();
    Script script;
    const std::vector<size_t> order = {2, 0, 1};
    for (const size_t i : order) script.at_browse.push_back(resolved(sim.port(i)));
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->size(), 3u);
    for (size_t k = 0; k < order.size(); ++k) EXPECT_EQ((*result)[k].address().port(), sim.port(order[k]));
}

TEST(Scan, ignores_every_event_but_resolutions) {
    sim::Simulator sim({model(0x100, 1)});
    sim.start();
    Script script;
    script.at_browse = {{EventKind::SearchStarted, {}},
                        {EventKind::ServiceFound, ResolvedService{"x", {}, 0}},
                        resolved(sim.port(0)),
                        {EventKind::ServiceRemoved, ResolvedService{"x", {}, 0}},
                        {EventKind::SearchStopped, {}}};
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->size(), 1u);
    EXPECT_EQ(script.connects, 1);
}

TEST(Scan, a_resolution_delivered_twice_is_listed_twice) {
    sim::Simulator sim({model(0x100, 1)});
    sim.start();
    Script script;
    script.at_browse = {resolved(sim.port(0)), resolved(sim.port(0))};
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(serials(*result), ElementsAre(1u, 1u));
    EXPECT_EQ(sim.connections_accepted(0), 2u);
}

TEST(Scan, resolutions_queued_before_the_disconnection_are_still_connected) {
    sim::Simulator sim({model(0x100, 1), model(0x100, 2)});
    sim.start();
    Script script;
    script.at_shutdown = {resolved(sim.port(1)), resolved(sim.port(0))};
    const auto result = scan::run(scripted(script), 0ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(serials(*result), ElementsAre(1u, 2u));
}

TEST(Scan, sleeps_the_full_wait_even_when_devices_are_found_at_once) {
    sim::Simulator sim({model(0x100, 1)});
    sim.start();
    Script script;
    script.at_browse = {resolved(sim.port(0))};
    const auto start = std::chrono::steady_clock::now();
    const auto result = scan::run(scripted(script), 300ms, kShortTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->size(), 1u);
}

TEST(Scan, a_zero_or_negative_wait_stops_right_after_the_worker_started) {
    for (const auto wait : {0ns, -5ns}) {
        Script script;
        const auto start = std::chrono::steady_clock::now();
        const auto result = scan::run(scripted(script), wait, kShortTimeout);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        ASSERT_TRUE(result.has_value());
        EXPECT_THAT(*result, IsEmpty());
        EXPECT_EQ(script.shutdowns, 1);
    }
}

// ------------------------------------------------- skipped devices

struct Skipped {
    const char* what;
    std::function<ServiceEvent(sim::Simulator&, uint16_t refused)> bad;
    std::function<void(sim::DeviceModel&)> adjust;  // of the bad device's model
    const char* line;
};

class ScanSkips : public ::testing::TestWithParam<Skipped> {};

TEST_P(ScanSkips, writes_one_line_for_the_device_and_returns_the_others) {
    RefusingPort refusing;
    sim::DeviceModel bad = model(0x100, 66);
    if (GetParam().adjust) GetParam().adjust(bad);
    sim::Simulator sim({model(0x100, 1), bad, model(0x100, 2)});
    sim.start();
    Script script;
    script.at_browse = {resolved(sim.port(0)), GetParam().bad(sim, refusing.port()), resolved(sim.port(2))};
    testing::StdoutCapture out;
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    const std::string printed = out.finish();
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(serials(*result), ElementsAre(1u, 2u));
    EXPECT_EQ(printed, std::string(GetParam().line) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScanSkips,
    ::testing::Values(Skipped{"newer_protocol", [](sim::Simulator& s, uint16_t) { return resolved(s.port(1)); },
                              [](sim::DeviceModel& m) { m.protocol_version = 3; },
                              "Encountered a device with newer (incompatible) firmware"},
                      Skipped{"much_newer_protocol", [](sim::Simulator& s, uint16_t) { return resolved(s.port(1)); },
                              [](sim::DeviceModel& m) { m.protocol_version = 0xFFFF; },
                              "Encountered a device with newer (incompatible) firmware"},
                      Skipped{"protocol_zero", [](sim::Simulator& s, uint16_t) { return resolved(s.port(1)); },
                              [](sim::DeviceModel& m) { m.protocol_version = 0; },
                              "Failed to connect to device ApiNotAvailableInProtocolVersion"},
                      Skipped{"refused_connection", [](sim::Simulator&, uint16_t refused) { return resolved(refused); },
                              nullptr, "Failed to connect to device NetworkError"},
                      Skipped{"no_address",
                              [](sim::Simulator& s, uint16_t) {
                                  auto e = resolved(s.port(1));
                                  e.service.addresses.clear();
                                  return e;
                              },
                              nullptr, "Failed to connect to device NetworkError"},
                      Skipped{"closes_on_the_version_request",
                              [](sim::Simulator& s, uint16_t) { return resolved(s.port(1)); },
                              [](sim::DeviceModel& m) {
                                  sim::Fault close;
                                  close.close = true;
                                  m.faults[1] = close;
                              },
                              "Failed to connect to device TcpStreamReadError(\"Failed to read packet header\")"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Scan, something_thrown_while_connecting_one_device_costs_only_that_device) {
    sim::Simulator sim({model(0x100, 1), model(0x100, 2)});
    sim.start();
    Script script;
    script.at_browse = {resolved(sim.port(0)), resolved(sim.port(1))};
    int calls = 0;
    script.on_connect = [&calls] {
        if (++calls == 1) throw std::bad_alloc();
    };
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(serials(*result), ElementsAre(2u));
}

}  // namespace
}  // namespace tq
