// Interface operations against a simulated device: request bytes, decoded
// values and the device's state following the commands.
#include "client/diagnostics.hpp"
#include "sim_fixture.hpp"

namespace tq::test {
namespace {

class InterfaceTest : public SimTest {
protected:
    Interface port(size_t index, sim::DeviceModel m = {}) {
        start_one(std::move(m));
        device_ = device();
        return device_->get_interfaces().value().at(index);
    }
    std::optional<Device> device_;
};

TEST_F(InterfaceTest, status_of_a_leader_t1_port_at_100_full) {
    sim::DeviceModel m;
    m.interfaces[0].type = 0;
    m.interfaces[0].eth_config = 0x0282;
    const Interface p = port(0, m);
    const auto s = p.get_status().value();
    EXPECT_EQ(last_request(), bytes({0x13, 0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.interface_type, InterfaceType::T1);
    EXPECT_EQ(s.eth_interface_status.link_state, EthLinkState::Up);
    EXPECT_EQ(s.eth_interface_status.speed, EthLinkSpeed::Speed100MbitFullDuplex);
    EXPECT_EQ(s.eth_interface_status.role, EthRole::Leader);
}

TEST_F(InterfaceTest, status_with_both_duplex_bits_is_not_implemented_with_its_line) {
    const Interface p = port(1);
    fault(19, once({.raw = bytes({0x14, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x01})}));
    testing::internal::CaptureStdout();
    const auto r = p.get_status();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Conversion error not implemented, Unable to convert both full and half duplex at the same time\n");
    EXPECT_ERROR(r, NotImplemented, "");
}

// While a transaction holds the device's lock, its lines concern that device.
TEST_F(InterfaceTest, conversion_line_names_the_device_to_a_sink) {
    const Interface p = port(1);
    fault(19, once({.raw = bytes({0x14, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x01})}));
    std::vector<std::string> lines;
    const DiagnosticSink sink{[](void* ctx, std::string_view line, std::string_view where) noexcept {
                                  static_cast<std::vector<std::string>*>(ctx)->push_back(std::string(where) + "|" +
                                                                                         std::string(line));
                              },
                              &lines};
    const DiagnosticScope scope(&sink);
    EXPECT_ERROR(p.get_status(), NotImplemented, "");
    report_line("after the call");
    EXPECT_EQ(lines, (std::vector<std::string>{device_->address().to_string() +
                                                   "|Conversion error not implemented, Unable to convert both full "
                                                   "and half duplex at the same time",
                                               "|after the call"}));
}

TEST_F(InterfaceTest, eth_config_set_is_read_back_and_refused_combinations_map) {
    const Interface p = port(1);
    const EthInterfaceConfig config{{EthRole::LeaderPreferred},
                                    {EthLinkSpeed::Speed100MbitFullDuplex, EthLinkSpeed::Speed1000MbitFullDuplex,
                                     EthLinkSpeed::Speed100MbitFullDuplex},
                                    EthAnegMode::IEEEAnegEnabled};
    ASSERT_TRUE(p.set_eth_config(config));
    EXPECT_EQ(last_request(), bytes({0x19, 0x00, 0x04, 0x00, 0x01, 0x00, 0x86, 0x06}));
    const EthInterfaceConfig back{{EthRole::Leader},
                                  {EthLinkSpeed::Speed100MbitFullDuplex, EthLinkSpeed::Speed1000MbitFullDuplex},
                                  EthAnegMode::IEEEAnegEnabled};
    EXPECT_EQ(p.get_eth_config().value(), back);
    // Mixed duplex is refused by the device with "invalid combination", which has no mapping.
    const EthInterfaceConfig mixed{{}, {EthLinkSpeed::Speed100MbitFullDuplex, EthLinkSpeed::Speed100MbitHalfDuplex}};
    EXPECT_ERROR(p.set_eth_config(mixed), RemoteOperationNotSupportedByDevice, "");
}

TEST_F(InterfaceTest, supported_configs_and_their_status) {
    sim::DeviceModel m;
    m.interfaces[0].supported = 0x0787;
    const Interface p = port(0, m);
    const EthInterfaceConfig all{{EthRole::Leader, EthRole::Follower},
                                 {EthLinkSpeed::Speed10MbitFullDuplex, EthLinkSpeed::Speed100MbitFullDuplex,
                                  EthLinkSpeed::Speed1000MbitFullDuplex},
                                 EthAnegMode::IEEEAnegEnabled};
    EXPECT_EQ(p.get_supported_eth_configs().value(), all);
    fault(23, once({.status = 6}));
    EXPECT_ERROR(p.get_supported_eth_configs(), RemoteOperationNotSupportedByInterface, "");
}

TEST_F(InterfaceTest, nickname_per_port) {
    const Interface p = port(1);
    ASSERT_TRUE(p.set_nickname("uplink"));
    EXPECT_EQ(last_request(), bytes({0x11, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x06, 0x00, 'u', 'p', 'l', 'i', 'n', 'k'}));
    EXPECT_EQ(p.get_nickname().value(), "uplink");
    EXPECT_EQ(device_->get_interfaces().value()[0].get_nickname().value(), "");
    ASSERT_TRUE(p.reset_nickname());
    EXPECT_EQ(p.get_nickname().value(), "");
    using namespace std::string_literals;
    const size_t before = commands().size();
    EXPECT_ERROR(p.set_nickname("x\0"s), Utf8Error, "Failed to encode x\0 as utf-8 cstring"s);
    EXPECT_EQ(commands().size(), before);
}

TEST_F(InterfaceTest, tc10_state_follows_the_commands) {
    const Interface p = port(0);
    EXPECT_EQ(p.get_tc10_state().value(), Tc10State::Normal);
    ASSERT_TRUE(p.send_tc10_command(Tc10Command::Sleep));
    EXPECT_EQ(last_request(), bytes({0x4D, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(p.get_tc10_state().value(), Tc10State::Sleep);
    ASSERT_TRUE(p.send_tc10_command(Tc10Command::WakeUp));
    EXPECT_EQ(last_request(), bytes({0x4D, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(p.get_tc10_state().value(), Tc10State::Normal);
}

TEST_F(InterfaceTest, tc10_on_a_port_without_it_is_not_supported_by_interface) {
    sim::DeviceModel m;
    m.interfaces[1].tc10_supported = false;
    const Interface p = port(1, m);
    EXPECT_ERROR(p.get_tc10_state(), RemoteOperationNotSupportedByInterface, "");
    EXPECT_ERROR(p.send_tc10_command(Tc10Command::Sleep), RemoteOperationNotSupportedByInterface, "");
}

class Tc10StateTest : public InterfaceTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(Tc10StateTest, state_bytes_map_to_the_enumeration_and_others_fail) {
    sim::DeviceModel m;
    m.interfaces[0].tc10_state = GetParam();
    const Interface p = port(0, m);
    testing::internal::CaptureStdout();
    const auto r = p.get_tc10_state();
    const std::string out = testing::internal::GetCapturedStdout();
    if (GetParam() <= 3) {
        EXPECT_EQ(r.value(), static_cast<Tc10State>(GetParam()));
        EXPECT_EQ(out, "");
    } else {
        EXPECT_ERROR(r, NotImplemented, "");
        EXPECT_EQ(out.rfind("Conversion error not implemented, ", 0), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(States, Tc10StateTest, ::testing::Values(0, 1, 2, 3, 4, 255));

TEST_F(InterfaceTest, dcq_readings_as_reported) {
    sim::DeviceModel m;
    m.interfaces[1].dcq8 = {7, 5, 20, 33};
    m.interfaces[1].dcq16 = {0x1234, 0xFFFF};
    const Interface p = port(1, m);
    const DcqReading expected{
        .sqi = 7, .sqi_worst = 5, .mse = 0x1234, .mse_worst = 0xFFFF, .peak_mse = 20, .peak_mse_worst = 33};
    EXPECT_EQ(p.read_dcq().value(), expected);
    EXPECT_EQ(last_request(), bytes({0x53, 0x00, 0x02, 0x00, 0x01, 0x00}));
}

TEST_F(InterfaceTest, cable_test_result_and_invalid_harness_status) {
    sim::DeviceModel m;
    m.interfaces[0].cable_harness = 1;
    m.interfaces[0].cable_distance = 17;
    const Interface p = port(0, m);
    EXPECT_EQ(p.run_cable_test().value(), (CableTestResult{CableTestHarnessStatus::CableShorted, 17}));
    sim().with_device(0, [](sim::DeviceModel& d) { d.interfaces[0].cable_harness = 3; });
    testing::internal::CaptureStdout();
    const auto r = p.run_cable_test();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Conversion error not implemented, Encountered invalid harness status\n");
    EXPECT_ERROR(r, NotImplemented, "");
}

TEST_F(InterfaceTest, loopback_state_round_trips_and_any_nonzero_byte_is_on) {
    const Interface p = port(1);
    EXPECT_EQ(p.get_loopback_state().value(), false);
    ASSERT_TRUE(p.set_loopback_state(true));
    EXPECT_EQ(last_request(), bytes({0x57, 0x00, 0x03, 0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ(p.get_loopback_state().value(), true);
    sim().with_device(0, [](sim::DeviceModel& d) { d.interfaces[1].loopback = 0x80; });
    EXPECT_EQ(p.get_loopback_state().value(), true);
    ASSERT_TRUE(p.set_loopback_state(false));
    EXPECT_EQ(p.get_loopback_state().value(), false);
}

TEST_F(InterfaceTest, packet_generator_on_round_trips_and_off_is_sent_in_its_fixed_form) {
    const Interface p = port(0);
    const PacketGeneratorConfig on{true, PgPayloadSize::Size1518, PgPayloadType::OnlyZeroes,
                                   PgPacketValidity::SymbolErrorsBadCrc, 0};
    ASSERT_TRUE(p.set_packet_generator_config(on));
    EXPECT_EQ(last_request(), bytes({0x5B, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0x02, 0x01, 0x00, 0x01}));
    EXPECT_EQ(p.get_packet_generator_config().value(), on);
    const PacketGeneratorConfig off{false, PgPayloadSize::Size1518, PgPayloadType::OnlyOnes,
                                    PgPacketValidity::SymbolErrorsBadCrc, 9};
    ASSERT_TRUE(p.set_packet_generator_config(off));
    EXPECT_EQ(last_request(), bytes({0x5B, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(p.get_packet_generator_config().value(), PacketGeneratorConfig{});
}

TEST_F(InterfaceTest, identify_counts_on_the_addressed_port_only) {
    const Interface p = port(1);
    ASSERT_TRUE(p.identify());
    const auto counts = sim().with_device(0, [](sim::DeviceModel& d) {
        return std::pair(d.interfaces[0].identify_count, d.interfaces[1].identify_count);
    });
    EXPECT_EQ(counts, std::pair(0u, 1u));
}

TEST_F(InterfaceTest, index_the_device_does_not_know_is_its_answer_to_give) {
    start();
    Device d = device();
    const Interface ghost(d.get_interfaces().value().at(0));
    Interface beyond = d.get_interfaces().value().at(1);
    // Built the way get_interfaces builds them, but past the device's count.
    sim().with_device(0, [](sim::DeviceModel& m) { m.interfaces.resize(1); });
    EXPECT_ERROR(beyond.get_status(), ApiError,
                 "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_SERVICE_ERROR_INVALID_INTERFACE\"");
    EXPECT_TRUE(ghost.get_status());
}

}  // namespace
}  // namespace tq::test
