// Device operations against a simulated device: values, request bytes and
// the failures each operation has of its own.
#include "sim_fixture.hpp"

namespace tq::test {
namespace {

class DeviceTest : public SimTest {};

using std::chrono::sys_days;
using std::chrono::sys_seconds;

TEST_F(DeviceTest, reads_the_identity_the_device_reports) {
    sim::DeviceModel m;
    m.name = "abc";
    m.nickname = "bench-3";
    m.pcb_revision = "REV C";
    m.firmware_version = "9.8.7";
    m.bootloader_version = "0.1";
    m.firmware_ean = 0x4062138099999;
    start_one(m);
    Device d = device();
    EXPECT_EQ(d.get_name().value(), "abc");
    EXPECT_EQ(last_request(), bytes({0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(d.get_nickname().value(), "bench-3");
    EXPECT_EQ(d.get_pcb_revision().value(), "REV C");
    EXPECT_EQ(d.get_firmware_version().value(), "9.8.7");
    EXPECT_EQ(d.get_bootloader_version().value(), "0.1");
    EXPECT_EQ(d.get_firmware_ean().value(), 0x4062138099999u);
    EXPECT_EQ(d.protocol_version(), 2u);
}

TEST_F(DeviceTest, nickname_round_trips_and_resets_to_empty) {
    start();
    Device d = device();
    ASSERT_TRUE(d.set_nickname("lab"));
    EXPECT_EQ(last_request(), bytes({0x05, 0x00, 0x05, 0x00, 0x03, 0x00, 'l', 'a', 'b'}));
    EXPECT_EQ(d.get_nickname().value(), "lab");
    ASSERT_TRUE(d.reset_nickname());
    EXPECT_EQ(last_request(), bytes({0x05, 0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(d.get_nickname().value(), "");
    ASSERT_TRUE(d.set_nickname(""));
    EXPECT_EQ(last_request(), bytes({0x05, 0x00, 0x02, 0x00, 0x00, 0x00}));
}

TEST_F(DeviceTest, nickname_with_nul_is_refused_before_writing) {
    start();
    Device d = device();
    const size_t before = commands().size();
    using namespace std::string_literals;
    EXPECT_ERROR(d.set_nickname("a\0b"s), Utf8Error, "Failed to encode a\0b as utf-8 cstring"s);
    EXPECT_EQ(commands().size(), before);
}

// A reply carries at most 127 bytes of text: a longer nickname, once
// stored, would fail every later read of it.
TEST_F(DeviceTest, nickname_the_device_could_not_send_back_is_refused_before_writing) {
    start();
    Device d = device();
    const Interface port = d.get_interfaces().value().at(0);
    const size_t before = commands().size();
    const std::string longest(127, 'x');
    const std::string refused =
        "A nickname may be at most 127 bytes long in UTF-8 (a device answers with no more); this one has 128";
    EXPECT_ERROR(d.set_nickname(longest + "y"), ApiError, refused);
    EXPECT_ERROR(port.set_nickname(longest + "y"), ApiError, refused);
    EXPECT_EQ(commands().size(), before);
    ASSERT_TRUE(d.set_nickname(longest));
    EXPECT_EQ(d.get_nickname().value(), longest);
    ASSERT_TRUE(port.set_nickname(longest));
    EXPECT_EQ(port.get_nickname().value(), longest);
}

TEST_F(DeviceTest, set_nickname_status_is_mapped) {
    start();
    Device d = device();
    fault(5, once({.status = 3}));
    EXPECT_ERROR(d.set_nickname("x"), RemoteOperationFailed, "");
}

struct DateCase {
    uint64_t seconds;
    sys_seconds expected;
};

class ManufacturingDateTest : public SimTest, public ::testing::WithParamInterface<DateCase> {};

TEST_P(ManufacturingDateTest, seconds_since_the_epoch_become_a_utc_time) {
    sim::DeviceModel m;
    m.manufacturing_date = GetParam().seconds;
    start_one(m);
    EXPECT_EQ(device().get_manufacturing_date().value(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, ManufacturingDateTest,
    ::testing::Values(DateCase{0, sys_seconds{}},
                      DateCase{1'700'000'000, sys_days{std::chrono::November / 14 / 2023} + std::chrono::hours(22) +
                                                  std::chrono::minutes(13) + std::chrono::seconds(20)},
                      DateCase{uint64_t{INT64_MAX}, sys_seconds{std::chrono::seconds{INT64_MAX}}}));

TEST_F(DeviceTest, manufacturing_date_beyond_the_time_representation_is_an_error_not_a_wrap) {
    sim::DeviceModel m;
    m.manufacturing_date = UINT64_MAX;
    start_one(m);
    Device d = device();
    testing::internal::CaptureStdout();
    const auto r = d.get_manufacturing_date();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_ERROR(r, NotImplemented, "");
    EXPECT_EQ(out.rfind("Conversion error not implemented, ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

class InterfaceCountTest : public SimTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(InterfaceCountTest, get_interfaces_lists_indices_from_zero) {
    sim::DeviceModel m;
    m.interfaces.resize(GetParam());
    start_one(m);
    Device d = device();
    const auto list = d.get_interfaces().value();
    ASSERT_EQ(list.size(), GetParam());
    for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].index(), i);
}

INSTANTIATE_TEST_SUITE_P(Counts, InterfaceCountTest, ::testing::Values(0u, 1u, 4u));

TEST_F(DeviceTest, interfaces_keep_the_connection_after_the_device_is_gone) {
    start();
    std::vector<Interface> ports;
    {
        Device d = device();
        ports = d.get_interfaces().value();
    }
    EXPECT_TRUE(ports[1].get_status());
    EXPECT_EQ(sim().connections_accepted(0), 1u);
}

TEST_F(DeviceTest, identify_counts_on_the_device_and_maps_its_status) {
    start();
    Device d = device();
    ASSERT_TRUE(d.identify());
    EXPECT_EQ(sim().with_device(0, [](sim::DeviceModel& m) { return m.identify_count; }), 1u);
    fault(7, once({.status = 5}));
    EXPECT_ERROR(d.identify(), RemoteOperationNotSupportedByDevice, "");
    fault(7, once({.status = 2}));
    EXPECT_ERROR(d.identify(), ApiError, "Encountered an unspecified error");
}

TEST_F(DeviceTest, text_longer_than_127_bytes_is_refused_by_the_decoder) {
    sim::DeviceModel m;
    m.name = std::string(128, 'n');
    start_one(m);
    EXPECT_ERROR(device().get_name(), ApiError,
                 "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_BUFFER_TOO_SMALL\"");
    sim().with_device(0, [](sim::DeviceModel& d) { d.name = std::string(127, 'n'); });
    EXPECT_EQ(device().get_name().value(), std::string(127, 'n'));
}

TEST_F(DeviceTest, answer_with_another_command_code_is_a_protocol_error) {
    start();
    Device d = device();
    fault(3, once({.raw = bytes({0x22, 0x00, 0x02, 0x00, 0x00, 0x00})}));
    EXPECT_ERROR(d.get_name(), ApiError, "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_PROTOCOL_ERROR\"");
}

}  // namespace
}  // namespace tq::test
