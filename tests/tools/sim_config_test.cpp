// Simulator configuration: JSON device models and command-line fault specs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/device.hpp"
#include "sim/config.hpp"
#include "sim/simulator.hpp"

namespace tq::sim {
namespace {

TEST(SimConfig, json_sets_every_field_it_names_and_keeps_defaults_for_the_rest) {
    const auto models = parse_models(R"({"devices": [{
        "name": "Bench A", "nickname": "n", "firmware_version": "3.0", "bootloader_version": "1.1",
        "pcb_revision": "C", "ean": "4062138020033", "firmware_ean": 1234, "serial_number": 42,
        "manufacturing_date": 1700000000, "protocol_version": 1, "port": 40123, "chunk_size": 512,
        "finalize_status": 3, "reject_chunk": 2,
        "interfaces": [{"type": 2, "nickname": "p0", "link_up": false, "eth_config": 644, "supported": 1927,
                        "tc10_supported": false, "tc10_state": 3,
                        "dcq": {"sqi": 1, "sqi_worst": 2, "peak_mse": 3, "peak_mse_worst": 4, "mse": 500, "mse_worst": 600},
                        "cable_test": {"harness_status": 0, "distance": 9}, "loopback": 1,
                        "packet_generator": [1, 2, 1, 5, 1]}],
        "faults": [{"command": 3, "delay_ms": 20, "times": 1}, {"command": "identify", "status": 5}]
    }, {}]})");
    ASSERT_EQ(models.size(), 2u);
    const DeviceModel& m = models[0];
    EXPECT_EQ(m.name, "Bench A");
    EXPECT_EQ(m.ean, 0x4062138020033u);
    EXPECT_EQ(m.firmware_ean, 1234u);
    EXPECT_EQ(m.serial_number, 42u);
    EXPECT_EQ(m.protocol_version, 1u);
    EXPECT_EQ(m.port, 40123);
    EXPECT_EQ(m.chunk_size, 512);
    EXPECT_EQ(m.finalize_status, 3);
    EXPECT_EQ(m.reject_chunk, 2u);
    ASSERT_EQ(m.interfaces.size(), 1u);
    const PortModel& p = m.interfaces[0];
    EXPECT_EQ(p.type, 2);
    EXPECT_FALSE(p.link_up);
    EXPECT_EQ(p.eth_config, 644);
    EXPECT_FALSE(p.tc10_supported);
    EXPECT_EQ(p.tc10_state, 3);
    EXPECT_EQ(p.dcq8, (std::array<uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(p.dcq16, (std::array<uint16_t, 2>{500, 600}));
    EXPECT_EQ(p.cable_distance, 9);
    EXPECT_EQ(p.packet_generator, (std::array<uint8_t, 5>{1, 2, 1, 5, 1}));
    ASSERT_EQ(m.faults.size(), 2u);
    EXPECT_EQ(m.faults.at(3).delay, std::chrono::milliseconds(20));
    EXPECT_EQ(m.faults.at(3).times, 1);
    EXPECT_EQ(m.faults.at(7).status, 5);
    // The second device is all defaults.
    EXPECT_EQ(models[1].name, DeviceModel{}.name);
    EXPECT_EQ(models[1].interfaces.size(), 2u);
}

TEST(SimConfig, bare_array_of_devices_is_accepted) {
    EXPECT_EQ(parse_models(R"([{"serial_number": 5}, {"serial_number": 6}])").at(1).serial_number, 6u);
}

class BadConfigTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadConfigTest, is_refused_with_a_config_error) {
    EXPECT_THROW(parse_models(GetParam()), ConfigError);
}

INSTANTIATE_TEST_SUITE_P(Configs, BadConfigTest,
                         ::testing::Values(R"({"devices": [{"nmae": "typo"}]})", R"({"devices": 3})", R"({})",
                                           R"({"devices": [], "extra": 1})", R"([{"interfaces": [{"speed": 1}]}])",
                                           R"([{"serial_number": "many"}])", R"([{"faults": [{"raw": "abc"}]}])",
                                           R"([{"interfaces": [{"dcq": {"sqii": 1}}]}])",
                                           R"([{"interfaces": [{"cable_test": {"distanse": 1}}]}])",
                                           R"([{"faults": [{"command": 3, "delai_ms": 1}]}])", "not json"));

struct SpecCase {
    std::string spec;
    std::optional<size_t> device;
    uint16_t command;
    Fault fault;
};

class FaultSpecTest : public ::testing::TestWithParam<SpecCase> {};

TEST_P(FaultSpecTest, parses_into_the_fault_it_names) {
    const FaultSpec f = parse_fault_spec(GetParam().spec);
    EXPECT_EQ(f.device, GetParam().device);
    EXPECT_EQ(f.command, GetParam().command);
    const Fault& want = GetParam().fault;
    EXPECT_EQ(f.fault.delay, want.delay);
    EXPECT_EQ(f.fault.close, want.close);
    EXPECT_EQ(f.fault.partial, want.partial);
    EXPECT_EQ(f.fault.raw, want.raw);
    EXPECT_EQ(f.fault.oversize, want.oversize);
    EXPECT_EQ(f.fault.error_status, want.error_status);
    EXPECT_EQ(f.fault.status, want.status);
    EXPECT_EQ(f.fault.wrong_code, want.wrong_code);
    EXPECT_EQ(f.fault.garbage, want.garbage);
    EXPECT_EQ(f.fault.split, want.split);
    EXPECT_EQ(f.fault.trickle, want.trickle);
    EXPECT_EQ(f.fault.times, want.times);
}

INSTANTIATE_TEST_SUITE_P(
    Specs, FaultSpecTest,
    ::testing::Values(SpecCase{"3:delay=2000", std::nullopt, 3, {.delay = std::chrono::milliseconds(2000)}},
                      SpecCase{"1/19:close", 1, 19, {.close = true}},
                      SpecCase{"3:partial=2,times=1", std::nullopt, 3, {.partial = 2, .times = 1}},
                      SpecCase{
                          "0x21:raw=04 00 01 00 00", std::nullopt, 33, {.raw = std::vector<uint8_t>{4, 0, 1, 0, 0}}},
                      SpecCase{"3:oversize=5000", std::nullopt, 3, {.oversize = 5000}},
                      SpecCase{"get_name:delay=1500", std::nullopt, 3, {.delay = std::chrono::milliseconds(1500)}},
                      SpecCase{"1/update_firmware_send_chunk:close", 1, 51, {.close = true}},
                      SpecCase{"53:error=5", std::nullopt, 53, {.error_status = 5}},
                      SpecCase{"7:status=6", std::nullopt, 7, {.status = 6}},
                      SpecCase{"19:wrongcode,garbage=9", std::nullopt, 19, {.wrong_code = true, .garbage = 9}},
                      SpecCase{"3:split=700,trickle=50",
                               std::nullopt,
                               3,
                               {.split = std::chrono::milliseconds(700), .trickle = std::chrono::milliseconds(50)}}));

class BadSpecTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadSpecTest, is_refused) {
    EXPECT_THROW(parse_fault_spec(GetParam()), ConfigError);
}

INSTANTIATE_TEST_SUITE_P(Specs, BadSpecTest,
                         ::testing::Values("3", "x:close", "3:explode", "3:delay", "70000:close", "3:error=70000",
                                           "3:raw=0", "a/3:close", "get_nam:close"));

TEST(SimRandomFaults, spec_sets_rate_seed_and_delay_range) {
    const RandomFaults r = parse_random_faults("rate=0.25,seed=7,delay=300-500");
    EXPECT_EQ(r.rate, 0.25);
    EXPECT_EQ(r.seed, 7u);
    EXPECT_EQ(r.delay_min, std::chrono::milliseconds(300));
    EXPECT_EQ(r.delay_max, std::chrono::milliseconds(500));
    EXPECT_EQ(parse_random_faults("rate=1").seed, 1u);
    for (const char* bad : {"", "seed=3", "rate=1.5", "rate=x", "rate=0.1,delay=500-300", "rate=0.1,burst=2"}) {
        EXPECT_THROW(parse_random_faults(bad), ConfigError) << bad;
    }
}

TEST(SimLog, line_is_serial_command_and_lowercase_hex) {
    EXPECT_EQ(format_log_line({0, 1001, 19, {0x13, 0x00, 0x02, 0x00, 0xAB, 0x00}}), "1001 19 13000200ab00");
}

TEST(SimReadyLine, lists_every_device_port_in_order) {
    Simulator sim({DeviceModel{}, DeviceModel{}});
    sim.start();
    EXPECT_NE(sim.port(0), sim.port(1));
    EXPECT_EQ(sim.ready_line(),
              "READY 127.0.0.1:" + std::to_string(sim.port(0)) + " 127.0.0.1:" + std::to_string(sim.port(1)));
    sim.stop();
    sim.stop();  // idempotent
}

TEST(SimStart, port_in_use_is_an_error_and_leaves_nothing_listening) {
    Simulator first({DeviceModel{}});
    first.start();
    DeviceModel taken;
    taken.port = first.port(0);
    Simulator second({DeviceModel{}, taken});
    EXPECT_THROW(second.start(), std::runtime_error);
    EXPECT_NO_THROW(second.stop());
}

TEST(SimFaults, fault_fires_the_given_number_of_times) {
    Simulator sim({DeviceModel{}});
    sim.start();
    ResolvedService s;
    ServiceAddress a;
    ServiceAddress::parse("127.0.0.1", a);
    s.addresses = {a};
    s.port = sim.port(0);
    const auto d = Device::connect(s);
    ASSERT_TRUE(d);
    sim.set_fault(0, 3, {.error_status = 5, .times = 2});
    EXPECT_FALSE(d->get_name());
    EXPECT_FALSE(d->get_name());
    EXPECT_TRUE(d->get_name());
    sim.set_fault(0, 3, {.error_status = 5});
    sim.clear_faults(0);
    EXPECT_TRUE(d->get_name());
}

}  // namespace
}  // namespace tq::sim
