// Fixture: simulated devices served in-process on loopback, and helpers to
// connect to them and to see what they received.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/device.hpp"
#include "net/address.hpp"
#include "sim/simulator.hpp"

namespace tq::test {

using namespace std::chrono_literals;

// Short, so that the time-out cases keep the suite fast.
inline constexpr std::chrono::milliseconds kTestTimeout{250};

inline std::vector<uint8_t> bytes(std::initializer_list<int> v) {
    return {v.begin(), v.end()};
}

inline ResolvedService loopback_service(uint16_t port) {
    ResolvedService s;
    ServiceAddress a;
    ServiceAddress::parse("127.0.0.1", a);
    s.addresses.push_back(a);
    s.port = port;
    return s;
}

class SimTest : public ::testing::Test {
protected:
    void start(std::vector<sim::DeviceModel> models = {sim::DeviceModel{}}) {
        sim_ = std::make_unique<sim::Simulator>(std::move(models));
        sim_->start();
    }
    void start_one(sim::DeviceModel model) { start({std::move(model)}); }

    Result<Device> connect(size_t i = 0, std::chrono::nanoseconds timeout = kTestTimeout) {
        return Device::connect(loopback_service(sim_->port(i)), timeout);
    }
    Device device(size_t i = 0, std::chrono::nanoseconds timeout = kTestTimeout) {
        auto d = connect(i, timeout);
        if (!d) throw std::runtime_error("connect failed: " + d.error().debug_text());
        return std::move(*d);
    }

    sim::Simulator& sim() { return *sim_; }
    // Requests the device has received so far, as command codes.
    std::vector<uint16_t> commands(size_t i = 0) {
        std::vector<uint16_t> out;
        for (const auto& r : sim_->requests(i)) out.push_back(r.command);
        return out;
    }
    std::vector<uint8_t> last_request(size_t i = 0) {
        auto all = sim_->requests(i);
        return all.empty() ? std::vector<uint8_t>{} : all.back().bytes;
    }
    // Waits (bounded) until the device has seen every client connection close.
    bool all_connections_closed(size_t i = 0) {
        for (int k = 0; k < 200 && sim_->open_connections(i) > 0; ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return sim_->open_connections(i) == 0;
    }
    void fault(uint16_t command, sim::Fault f, size_t i = 0) { sim_->set_fault(i, command, std::move(f)); }

    std::unique_ptr<sim::Simulator> sim_;
};

// The kernel keeps socket timeouts in scheduler ticks, so a timeout reads
// back rounded up to the next tick.
inline bool timeout_near(const std::optional<std::chrono::nanoseconds>& actual, std::chrono::nanoseconds expected) {
    return actual && *actual >= expected && *actual - expected < std::chrono::milliseconds(20);
}

inline sim::Fault once(sim::Fault f) {
    f.times = 1;
    return f;
}

// Lets a test assert on Error values with readable failure output.
inline std::string describe(const Error& e) {
    return e.debug_text();
}

// expected_kind: a bare variant name or any Error::Kind expression.
#define EXPECT_ERROR(result, expected_kind, expected_text)                      \
    do {                                                                        \
        using enum ::tq::Error::Kind;                                           \
        const auto& r_ = (result);                                              \
        ASSERT_FALSE(r_.has_value()) << "expected " #expected_kind;             \
        EXPECT_EQ(r_.error().kind(), expected_kind) << r_.error().debug_text(); \
        EXPECT_EQ(r_.error().text(), std::string(expected_text));               \
    } while (0)

}  // namespace tq::test
