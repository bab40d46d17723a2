// plenko-tq on several devices: the flash progress rows and summary as text,
// the fleet flash with a failing device and with an interrupt, and info /
// ports output per device. Simulated devices on loopback, chosen by --address.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/address.hpp"
#include "cli/cli.hpp"
#include "cli/fleet.hpp"
#include "cli/format.hpp"
#include "cli/interrupt.hpp"
#include "cli_support.hpp"

namespace tq::cli {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kChunk = 51, kFinalize = 53;

FlashRow row(FlashState state, uint64_t sent, uint64_t total, Clock::duration took = 2s) {
    FlashRow r;
    r.label = "1001@127.0.0.1:4000";
    r.state = state;
    r.sent = sent;
    r.total = total;
    r.started = Clock::time_point{} + 10s;
    r.ended = r.started + took;
    return r;
}

TEST(FlashRows, show_state_bytes_percent_and_rate) {
    const auto now = Clock::time_point{} + 14s;  // 4 s after the start
    EXPECT_EQ(
        render_flash_row(row(FlashState::Sending, 1 << 20, 2 << 20), now, 22, false),
        "1001@127.0.0.1:4000     sending      [##########----------]  50%  1.0 MiB / 2.0 MiB  256.0 KiB/s  0:04 left");
    EXPECT_THAT(render_flash_row(row(FlashState::Sending, 1 << 20, 2 << 20), now, 0, true), HasSubstr("  stopping  "));
    // A finished row keeps the rate of its own time, not the time since.
    EXPECT_THAT(render_flash_row(row(FlashState::Done, 2 << 20, 2 << 20), now, 0, false),
                HasSubstr("  done         [####################] 100%  2.0 MiB / 2.0 MiB  1.0 MiB/s"));
}

TEST(FlashRows, redraw_over_the_lines_drawn_before) {
    EXPECT_EQ(render_frame({"a", "b"}, 0), "\ra\x1b[K\n\rb\x1b[K\n");
    EXPECT_EQ(render_frame({"a", "b", "c"}, 2), "\x1b[2A\ra\x1b[K\n\rb\x1b[K\n\rc\x1b[K\n");
}

TEST(FlashSummary, names_each_devices_result_and_time) {
    auto left_to_finish = row(FlashState::Done, 10, 10, 1500ms);
    left_to_finish.finalizing_at_interrupt = true;
    auto failed = row(FlashState::Failed, 4, 10);
    failed.error = "the device reports that the operation failed";
    EXPECT_EQ(render_flash_summary({row(FlashState::Done, 10, 10, 1500ms), failed, row(FlashState::Stopped, 4, 10),
                                    left_to_finish, row(FlashState::NotStarted, 0, 10)}),
              "DEVICE               RESULT                                                       TIME\n"
              "1001@127.0.0.1:4000  done                                                         1.5 s\n"
              "1001@127.0.0.1:4000  failed: the device reports that the operation failed         2.0 s\n"
              "1001@127.0.0.1:4000  stopped before finalizing, 4 of 10 bytes sent (interrupted)  2.0 s\n"
              "1001@127.0.0.1:4000  done (was finalizing at the interrupt, left to finish)       1.5 s\n"
              "1001@127.0.0.1:4000  not started (interrupted)                                    -\n");
}

std::vector<uint8_t> image(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 5);
    return v;
}

class CliFleet : public ::testing::Test {
protected:
    void start(size_t n, const std::function<void(size_t, sim::DeviceModel&)>& setup = {}) {
        std::vector<sim::DeviceModel> models(n);
        for (size_t i = 0; i < n; ++i) {
            models[i].serial_number = 1001 + i;
            if (setup) setup(i, models[i]);
        }
        sim_ = std::make_unique<sim::Simulator>(std::move(models));
        sim_->start();
    }
    std::string address(size_t i) const { return test::address_of(*sim_, i); }
    std::string label(size_t i) const { return std::to_string(1001 + i) + "@" + address(i); }
    std::vector<std::string> with_addresses(std::vector<std::string> args) const {
        for (size_t i = 0; i < sim_->device_count(); ++i) args.insert(args.end(), {"--address", address(i)});
        return args;
    }
    std::vector<uint16_t> commands(size_t device) const {
        std::vector<uint16_t> out;
        for (const auto& r : sim_->requests(device)) out.push_back(r.command);
        return out;
    }
    bool received(size_t device, uint16_t command) const {
        const auto c = commands(device);
        return std::find(c.begin(), c.end(), command) != c.end();
    }
    std::vector<uint8_t> last_image(size_t device) {
        return sim_->with_device(device, [](const sim::DeviceModel& m) { return m.firmware.last_image; });
    }
    std::unique_ptr<sim::Simulator> sim_;
};

std::string write_image(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST_F(CliFleet, flash_updates_every_device_a_failing_one_included_and_fails_in_the_summary) {
    start(3, [](size_t i, sim::DeviceModel& m) { m.finalize_status = i == 1 ? 3 : 0; });
    const auto bytes = image(40000);
    const auto r = test::run_in_process(with_addresses({"flash", write_image("cli_fleet.bin", bytes)}));
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err, "plenko-tq: 1 of 3 devices not updated\n");
    EXPECT_EQ(last_image(0), bytes);
    EXPECT_EQ(last_image(2), bytes);

    // Each device's plain progress lines, whole and under its label.
    const auto out = test::lines(r.out);
    for (size_t i = 0; i < 3; ++i) {
        std::vector<std::string> own;
        for (const auto& line : out) {
            if (line.starts_with(label(i) + ": ")) own.push_back(line.substr(label(i).size() + 2));
        }
        ASSERT_GE(own.size(), 4u) << r.out;
        EXPECT_EQ(own.front(), "update started: 40000 bytes");
        EXPECT_EQ(own.back(), i == 1 ? "update finished: UnknownError" : "update finished: Success");
    }
    ASSERT_GE(out.size(), 4u);
    const std::vector<std::string> summary(out.end() - 4, out.end());
    EXPECT_THAT(summary[0], ::testing::MatchesRegex("DEVICE +RESULT +TIME"));
    EXPECT_THAT(summary[1], ::testing::MatchesRegex(label(0) + " +done +[0-9.]+ s"));
    EXPECT_THAT(summary[2], ::testing::MatchesRegex(
                                label(1) + " +failed: the device reports that the operation failed +[0-9.]+ s"));
    EXPECT_THAT(summary[3], ::testing::MatchesRegex(label(2) + " +done +[0-9.]+ s"));
}

TEST_F(CliFleet, interrupt_stops_senders_between_chunks_and_lets_finalizing_devices_finish) {
    start(3, [](size_t i, sim::DeviceModel& m) {
        if (i == 0) m.faults[kChunk] = sim::Fault{.delay = 50ms};      // still sending at the interrupt
        if (i == 1) m.faults[kFinalize] = sim::Fault{.delay = 800ms};  // finalizing at the interrupt
    });
    std::vector<Device> devices;
    std::vector<std::string> labels;
    for (size_t i = 0; i < 3; ++i) {
        auto d = Device::connect(resolve_address(address(i)).value());
        ASSERT_TRUE(d) << d.error().debug_text();
        devices.push_back(std::move(*d));
        labels.push_back(label(i));
    }
    sim_->clear_requests();
    const auto bytes = image(size_t{100} * 4088);
    std::ostringstream out, notices;
    const InterruptGuard guard;
    FleetFlashResult result;
    // Two at a time: device 2 waits for a free place.
    std::thread flashing([&] { result = flash_fleet(devices, labels, bytes, out, notices, false, 2); });
    const auto deadline = Clock::now() + 20s;
    while (!received(1, kFinalize) && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    std::raise(SIGINT);
    flashing.join();

    ASSERT_TRUE(result.interrupted);
    EXPECT_EQ(result.rows[0].state, FlashState::Stopped);
    EXPECT_LT(result.rows[0].sent, bytes.size());
    EXPECT_FALSE(received(0, kFinalize)) << "a device stopped while sending is never asked to finalize";
    EXPECT_EQ(result.rows[1].state, FlashState::Done);
    EXPECT_TRUE(result.rows[1].finalizing_at_interrupt);
    EXPECT_EQ(last_image(1), bytes);
    EXPECT_EQ(result.rows[2].state, FlashState::NotStarted);
    EXPECT_TRUE(commands(2).empty());
    EXPECT_THAT(notices.str(), StartsWith("plenko-tq: interrupted: stopping the devices still sending;"));
}

TEST_F(CliFleet, json_prints_one_object_per_device_per_line_a_failed_device_included) {
    start(3, [](size_t i, sim::DeviceModel& m) {
        if (i == 1) m.faults[3] = sim::Fault{.close = true};  // get_name
    });
    const auto info = test::run_in_process(with_addresses({"info", "--json"}));
    EXPECT_EQ(info.status, kExitFailed);
    EXPECT_EQ(info.err, "plenko-tq: " + label(1) + ": no valid answer from the device: Failed to read packet header\n");
    const auto lines = test::lines(info.out);
    ASSERT_EQ(lines.size(), 3u) << info.out;
    EXPECT_EQ(Json::parse(lines[0]).at("serial"), 1001);
    EXPECT_EQ(Json::parse(lines[1]),
              Json({{"ean", "40-62138-02001-9"},
                    {"serial", 1002},
                    {"address", address(1)},
                    {"error", "no valid answer from the device: Failed to read packet header"}}));
    EXPECT_EQ(Json::parse(lines[2]).at("firmware"), "2.4.1");

    const auto ports = test::run_in_process({"ports", "--json", "--address", address(2), "--address", address(0)});
    EXPECT_EQ(ports.status, kExitOk) << ports.err;
    const auto port_lines = test::lines(ports.out);
    ASSERT_EQ(port_lines.size(), 2u);
    EXPECT_EQ(Json::parse(port_lines[0]).at("serial"), 1003) << "in the order given";
    EXPECT_EQ(Json::parse(port_lines[1]).at("ports").size(), 2u);
}

TEST_F(CliFleet, ports_as_text_is_one_table_with_a_device_column) {
    start(2);
    const auto r = test::run_in_process(with_addresses({"ports"}));
    EXPECT_EQ(r.status, kExitOk) << r.err;
    const auto lines = test::lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_THAT(lines[0], ::testing::MatchesRegex("DEVICE +PORT +TYPE +LINK.*"));
    EXPECT_THAT(lines[1], StartsWith(label(0) + "  0 "));
    EXPECT_THAT(lines[4], StartsWith(label(1) + "  1 "));
}

}  // namespace
}  // namespace tq::cli
