// The scan with its DNS-SD daemon replaced by a scripted one, so that every
// failure path can be reached; devices are real simulated ones on loopback,
// and scripted connects stand in for devices that never answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "client/diagnostics.hpp"
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
    // Threads start_worker makes before it throws; the first is the scan worker.
    int threads_allowed = std::numeric_limits<int>::max();
    size_t connects_in_flight = scan::kConnectsInFlight;

    std::string browsed;
    int shutdowns = 0;
    bool destroyed = false;
    std::atomic<int> threads_started{0};
    std::atomic<int> threads_running{0};
    std::atomic<int> connects{0};
    std::atomic<int> in_flight{0};
    std::atomic<int> most_in_flight{0};
    std::atomic<std::chrono::nanoseconds> connect_timeout{0ns};
    std::function<void(const ResolvedService&)> on_connect;  // runs before each connect
    std::function<Result<Device>(const ResolvedService&)> connect_instead;
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
    with.connects_in_flight = script.connects_in_flight;
    with.start_worker = [&script](std::function<void()> body) {
        if (script.threads_started >= script.threads_allowed)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        ++script.threads_started;
        ++script.threads_running;
        return std::thread([&script, body = std::move(body)] {
            body();
            --script.threads_running;
        });
    };
    with.connect = [&script](const ResolvedService& service, std::chrono::nanoseconds timeout) {
        ++script.connects;
        script.connect_timeout = timeout;
        const int now = ++script.in_flight;
        int most = script.most_in_flight;
        while (now > most && !script.most_in_flight.compare_exchange_weak(most, now)) {
        }
        if (script.on_connect) script.on_connect(service);
        auto device = script.connect_instead ? script.connect_instead(service) : Device::connect(service, timeout);
        --script.in_flight;
        return device;
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

// A port that refuses connections (bound, never listening), or with
// `silent` one whose connections the kernel completes and nobody answers: a
// device that advertises and then says nothing.
class RefusingPort {
public:
    explicit RefusingPort(bool silent = false) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (silent) ::listen(fd_, 4);
        socklen_t size = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
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

// Every thread the scan started has ended by the time it returns, on every
// path: ScanFailure and ScanThreads check it after each case.

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
    EXPECT_EQ(script.threads_running, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScanFailure,
    ::testing::Values(Failing{"daemon_cannot_be_created", [](Script& s) { s.create_fails = true; },
                              "Failed to create MDNS Service Daemon", false, false},
                      Failing{"browse_fails_and_the_daemon_is_released_without_shutdown",
                              [](Script& s) { s.browse_fails = true; }, "Failed to browse for service", false, false},
                      Failing{"worker_thread_cannot_start", [](Script& s) { s.threads_allowed = 0; },
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
    EXPECT_EQ(script.connect_timeout.load(), 777ms);
    EXPECT_EQ(script.shutdowns, 1);
    EXPECT_TRUE(script.destroyed);
}

TEST(Scan, a_connection_timeout_of_zero_or_less_is_refused_before_browsing) {
    for (const std::chrono::nanoseconds timeout : {0ns, -1ns}) {
        Script script;
        const auto result = scan::run(scripted(script), 10ms, timeout);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), Error(Error::Kind::ApiError, "The connection timeout must be greater than zero"));
        EXPECT_EQ(script.browsed, "");
    }
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

// Resolved in one order, handshaken at the same time, finished in another:
// the finishing order is the one equal keys keep.
TEST(Scan, equal_keys_keep_the_order_in_which_the_handshakes_succeeded) {
    sim::Simulator sim({model(0x100, 4), model(0x100, 4), model(0x100, 4)});
    sim.start();
    Script script;
    for (size_t i = 0; i < sim.device_count(); ++i) script.at_browse.push_back(resolved(sim.port(i)));
    const std::vector<size_t> finishing = {2, 0, 1};
    std::mutex mutex;
    std::condition_variable changed;
    size_t finished = 0;  // how many of `finishing` are done
    script.connect_instead = [&](const ResolvedService& service) {
        const size_t turn = static_cast<size_t>(
            std::find_if(finishing.begin(), finishing.end(), [&](size_t i) { return sim.port(i) == service.port; }) -
            finishing.begin());
        {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, 2s, [&] { return finished == turn; });
        }
        // The previous device's list entry is made right after its connect
        // returned; this margin covers that step.
        std::this_thread::sleep_for(20ms);
        auto device = Device::connect(service, kShortTimeout);
        {
            const std::lock_guard lock(mutex);
            ++finished;
        }
        changed.notify_all();
        return device;
    };
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->size(), 3u);
    for (size_t k = 0; k < finishing.size(); ++k) EXPECT_EQ((*result)[k].address().port(), sim.port(finishing[k]));
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

// ------------------------------------------------- connecting pool

ServiceEvent silent(int i) {
    ServiceEvent e = resolved(static_cast<uint16_t>(1 + i));
    e.service.instance_name = "silent " + std::to_string(i);
    return e;
}

// Devices that never answer the handshake, first in line: the pool holds
// all 16 in flight at once (a sequential scan would meet them one after
// another and never get there), never more, and the good devices behind them
// are all returned. Their lines, printed at the same moment, stay whole.
TEST(Scan, sixteen_devices_that_never_answer_are_waited_for_together_and_the_others_returned) {
    constexpr int kSilent = 16;
    constexpr size_t kGood = 50;
    std::vector<sim::DeviceModel> models;
    for (size_t i = 0; i < kGood; ++i) models.push_back(model(0x100 + (i % 3), i));
    sim::Simulator sim(models);
    sim.start();
    Script script;
    for (int i = 0; i < kSilent; ++i) script.at_browse.push_back(silent(i));
    for (size_t i = 0; i < kGood; ++i) script.at_browse.push_back(resolved(sim.port(i)));
    std::mutex mutex;
    std::condition_variable changed;
    int silent_waiting = 0;
    std::optional<bool> all_at_once;  // decided by the first wait that ends
    script.connect_instead = [&](const ResolvedService& service) -> Result<Device> {
        if (service.instance_name.starts_with("silent")) {
            std::unique_lock lock(mutex);
            ++silent_waiting;
            changed.notify_all();
            // Stands for the read timeout, without its cost.
            const bool met =
                changed.wait_for(lock, 5s, [&] { return silent_waiting == kSilent || all_at_once.has_value(); });
            if (!all_at_once.has_value()) all_at_once = met;
            changed.notify_all();
            return fail(Error::Kind::TcpStreamReadError, "Failed to read packet header");
        }
        return Device::connect(service, kShortTimeout);
    };
    testing::StdoutCapture out;
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    const std::string printed = out.finish();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(all_at_once, true);
    EXPECT_EQ(script.most_in_flight, static_cast<int>(scan::kConnectsInFlight));
    std::vector<std::pair<uint64_t, uint64_t>> keys;
    for (const Device& d : *result) keys.emplace_back(d.get_ean(), d.get_serial_number());
    EXPECT_EQ(keys.size(), kGood);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    EXPECT_THAT(testing::lines_of(printed),
                ElementsAreArray(std::vector<std::string>(
                    kSilent, "Failed to connect to device TcpStreamReadError(\"Failed to read packet header\")")));
    EXPECT_EQ(script.threads_running, 0);
}

// The same over real sockets: the scan costs about one read timeout beyond
// the wait, where one device after another would cost sixteen.
TEST(Scan, sixteen_silent_devices_cost_about_one_timeout_not_sixteen) {
    constexpr auto kTimeout = 300ms;
    std::deque<RefusingPort> silent;
    for (int i = 0; i < 16; ++i) silent.emplace_back(true);
    sim::Simulator sim({model(0x100, 1), model(0x100, 2), model(0x100, 3)});
    sim.start();
    Script script;
    for (const RefusingPort& s : silent) script.at_browse.push_back(resolved(s.port()));
    for (size_t i = 0; i < sim.device_count(); ++i) script.at_browse.push_back(resolved(sim.port(i)));
    testing::StdoutCapture out;
    const auto start = std::chrono::steady_clock::now();
    const auto result = scan::run(scripted(script), 10ms, kTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string printed = out.finish();
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(serials(*result), ElementsAre(1u, 2u, 3u));
    EXPECT_EQ(testing::lines_of(printed).size(), silent.size());
    EXPECT_GE(took, kTimeout);
    EXPECT_LT(took, 10ms + 4 * kTimeout);  // 16 in a row: 4.8 s
}

struct Starting {
    const char* what;
    void (*arrange)(Script&);
};

class ScanThreads : public ::testing::TestWithParam<Starting> {};

// Whichever threads cannot be made, no resolved device is lost.
TEST_P(ScanThreads, every_device_is_connected_however_many_threads_start) {
    std::vector<sim::DeviceModel> models;
    for (uint64_t serial = 1; serial <= 6; ++serial) models.push_back(model(0x100, serial));
    sim::Simulator sim(models);
    sim.start();
    Script script;
    for (size_t i = 0; i < sim.device_count(); ++i) script.at_browse.push_back(resolved(sim.port(i)));
    // Slow enough that the pool asks for a thread per device.
    script.on_connect = [](const ResolvedService&) { std::this_thread::sleep_for(5ms); };
    GetParam().arrange(script);
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(serials(*result), ElementsAre(1u, 2u, 3u, 4u, 5u, 6u));
    EXPECT_EQ(script.threads_running, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ScanThreads,
                         ::testing::Values(Starting{"none_for_the_pool", [](Script& s) { s.threads_allowed = 1; }},
                                           Starting{"two_for_the_pool", [](Script& s) { s.threads_allowed = 3; }},
                                           Starting{"no_pool_asked_for", [](Script& s) { s.connects_in_flight = 0; }}),
                         [](const auto& info) { return std::string(info.param.what); });

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

// The lines come from the scan's connecting threads; a sink on the scanning
// thread takes them instead of standard output, with the devices' addresses.
TEST(Scan, skipped_devices_are_reported_to_the_scanning_threads_sink_with_their_addresses) {
    RefusingPort refusing;
    sim::Simulator sim({model(0x100, 1), model(0x100, 66, 3)});
    sim.start();
    Script script;
    script.at_browse = {resolved(sim.port(0)), resolved(sim.port(1)), resolved(refusing.port())};
    std::pair<std::mutex, std::vector<std::string>> seen;
    const DiagnosticSink sink{[](void* ctx, std::string_view line, std::string_view where) noexcept {
                                  auto& [mutex, lines] = *static_cast<decltype(seen)*>(ctx);
                                  const std::lock_guard lock(mutex);
                                  lines.push_back(std::string(where) + " " + std::string(line));
                              },
                              &seen};
    const DiagnosticScope scope(&sink);
    testing::StdoutCapture out;
    EXPECT_THAT(serials(scan::run(scripted(script), 10ms, kShortTimeout).value()), ElementsAre(1u));
    EXPECT_EQ(out.finish(), "");
    EXPECT_THAT(seen.second, ::testing::UnorderedElementsAre(
                                 "127.0.0.1:" + std::to_string(sim.port(1)) + " " + scan::kIncompatibleLine,
                                 "127.0.0.1:" + std::to_string(refusing.port()) + " Failed to connect to device NetworkError"));
}

TEST(Scan, something_thrown_while_connecting_one_device_costs_only_that_device) {
    sim::Simulator sim({model(0x100, 1), model(0x100, 2)});
    sim.start();
    Script script;
    script.at_browse = {resolved(sim.port(0)), resolved(sim.port(1))};
    script.on_connect = [&sim](const ResolvedService& service) {
        if (service.port == sim.port(0)) throw std::bad_alloc();
    };
    const auto result = scan::run(scripted(script), 10ms, kShortTimeout);
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(serials(*result), ElementsAre(2u));
}

}  // namespace
}  // namespace tq
