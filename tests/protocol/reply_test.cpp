// What the client reads from a response and what it puts into a request:
// the failures every reply shape carries (the error response, foreign codes,
// oversized headers), the request bytes of the client's arguments, the
// conversions of the values into the client's types, and every failure text.
#include "protocol/reply.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>

#include "bytes.hpp"
#include "protocol/commands.hpp"
#include "protocol/packet.hpp"
#include "protocol/status.hpp"
#include "protocol/wire_values.hpp"

namespace tq::wire {
namespace {

using proto::Command;
using test::Bytes;
using test::hex;
using test::WireBuffer;
using Kind = ProtocolError::Kind;
using proto::TextField;

template <class T>
ProtocolError error_of(const tl::expected<T, ProtocolError>& r) {
    EXPECT_FALSE(r.has_value());
    return r ? ProtocolError{} : r.error();
}

ProtocolError conversion(const std::string& text) {
    return ProtocolError::conversion(text);
}
ProtocolError status(uint32_t s) {
    return ProtocolError::from_status(s);
}
ProtocolError service(uint16_t s) {
    return ProtocolError::service_failure(ServiceStatus{s});
}

// The client's reply to C read from a connection buffer starting with `bytes`,
// and converted as the operation converts it.
template <Command C>
auto reply(const Bytes& bytes) {
    return proto::decode_reply<C>(WireBuffer{bytes}.cspan());
}
template <Command C, class F>
auto reply(const Bytes& bytes, F convert) {
    return reply<C>(bytes).and_then(convert);
}
// A tuple reply spread over a conversion's parameters.
template <class F>
auto spread(F f) {
    return [f](const auto& fields) { return std::apply(f, fields); };
}
const auto current_config = spread([](uint16_t /*status*/, uint16_t bits) { return config_from_mode_bits(bits); });

// The bytes a request of C with `args` puts into the connection buffer.
template <Command C, class... Args>
std::string sent(const Args&... args) {
    WireBuffer buf;
    proto::PacketWriter packet{buf.span()};
    if (proto::encode_request<C>(packet, args...)) return "error";
    return buf.first(packet.packet_len());
}
template <Command C, class... Args>
proto::Status encoded(const Args&... args) {
    WireBuffer buf;
    proto::PacketWriter packet{buf.span()};
    return proto::encode_request<C>(packet, args...);
}
template <Command C, class... Args>
size_t packet_len(const Args&... args) {
    WireBuffer buf;
    proto::PacketWriter packet{buf.span()};
    return proto::encode_request<C>(packet, args...) ? 0 : packet.packet_len();
}

const EthInterfaceConfig kConfig{{EthRole::LeaderPreferred},
                                 {EthLinkSpeed::Speed100MbitFullDuplex, EthLinkSpeed::Speed1000MbitFullDuplex},
                                 EthAnegMode::IEEEAnegEnabled};
const Bytes kChunk = hex("01 02 03");

// The packet generator request for interface 0, as set_packet_generator_config sends it.
std::string pg_sent(const PacketGeneratorConfig& config) {
    return std::apply([](auto... f) { return sent<Command::InterfaceSetPacketGenerator>(uint16_t{0}, f...); },
                      pg_config_to_wire(config));
}

// ---- failures every reply shares ----

// Every decoder's error-response and foreign-code checks are in
// commands_test; here one command of each reply shape (the version query, a
// value, a text, a status alone, a status and a value, a tuple, nothing) shows
// how the client carries them into a ProtocolError.
template <Command C>
void expect_failed_replies() {
    SCOPED_TRACE(proto::request_code(C));
    constexpr bool version_query = C == Command::GetVersion;
    EXPECT_EQ(error_of(reply<C>(hex("AD BA 02 00 05 00"))),
              status(version_query ? proto::kProtocolError : proto::kServiceNotSupportedByDevice));
    EXPECT_EQ(error_of(reply<C>(hex("AD BA 02 00 02 00"))),
              status(version_query ? proto::kProtocolError : proto::kServiceApiError));
    if (!version_query) {
        EXPECT_EQ(error_of(reply<C>(hex("AD BA 02 00 01 00"))).kind, Kind::CommandNotInVersion);
    }
    EXPECT_EQ(error_of(reply<C>(test::header(proto::request_code(C), 0))), status(proto::kProtocolError));
    EXPECT_EQ(error_of(reply<C>(test::header(proto::response_code(C), proto::kBufferSize - 3))),
              status(proto::kBufferTooSmall))
        << "a header announcing more than the buffer holds";
}

TEST(Replies, error_response_foreign_code_and_oversized_header_fail_for_every_shape) {
    using C = Command;
    expect_failed_replies<C::GetVersion>();
    expect_failed_replies<C::GetEan>();
    expect_failed_replies<C::DeviceGetName>();
    expect_failed_replies<C::DeviceSetNickname>();
    expect_failed_replies<C::InterfaceGetTc10State>();
    expect_failed_replies<C::InterfaceReadDcq>();
    expect_failed_replies<C::InterfaceSetLoopback>();
}

// ---- request bytes ----

TEST(Requests, bytes_on_the_wire) {
    using C = Command;
    const uint16_t index0 = 0, index1 = 1;
    struct Case {
        const char* name;
        std::string sent;
        const char* bytes;
    };
    const Case cases[] = {
        {"version_query", sent<C::GetVersion>(), "01 00 00 00"},
        {"name_query", sent<C::DeviceGetName>(), "03 00 00 00"},
        {"status_index_1", sent<C::GetInterfaceStatus>(index1), "13 00 02 00 01 00"},
        {"nickname_abc", sent<C::DeviceSetNickname>("abc"), "05 00 05 00 03 00 61 62 63"},
        {"if_nickname", sent<C::InterfaceSetNickname>(index1, "x"), "11 00 05 00 01 00 01 00 78"},
        {"firmware_start_1000", sent<C::UpdateFirmwareStart>(uint8_t{0}, uint64_t{1000}), "31 00 05 00 00 E8 03 00 00"},
        {"firmware_chunk", sent<C::UpdateFirmwareSendChunk>(uint64_t{2}, kChunk), "33 00 07 00 02 00 03 00 01 02 03"},
        {"set_eth_config", sent<C::SetEthInterfaceMode>(index0, mode_bits_from_config(kConfig)),
         "19 00 04 00 00 00 86 06"},
        {"tc10_wake_up", sent<C::InterfaceSendTc10Command>(index0, tc10_command_to_wire(Tc10Command::WakeUp)),
         "4D 00 03 00 00 00 01"},
        {"tc10_sleep", sent<C::InterfaceSendTc10Command>(index0, tc10_command_to_wire(Tc10Command::Sleep)),
         "4D 00 03 00 00 00 00"},
        {"loopback_off", sent<C::InterfaceSetLoopback>(uint16_t{3}, false), "57 00 03 00 03 00 00"},
        {"unnamed_97", sent<C::Unnamed97>(uint16_t{4}), "61 00 02 00 04 00"},
        {"pg_enabled",
         pg_sent({true, PgPayloadSize::Size1518, PgPayloadType::OnlyZeroes, PgPacketValidity::SymbolErrorsBadCrc, 7}),
         "5B 00 07 00 00 00 01 02 01 07 01"},
        {"pg_only_ones_is_wire_3",
         pg_sent({true, PgPayloadSize::Size64, PgPayloadType::OnlyOnes, PgPacketValidity::GoodCrc, 0}),
         "5B 00 07 00 00 00 00 03 00 00 01"},
        {"pg_disabled_ignores_other_fields",
         pg_sent({false, PgPayloadSize::Size1518, PgPayloadType::OnlyOnes, PgPacketValidity::SymbolErrorsBadCrc, 9}),
         "5B 00 07 00 00 00 00 01 00 00 00"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.sent, c.bytes) << c.name;
}

struct ModeEncodeCase {
    const char* name;
    EthInterfaceConfig config;
    uint16_t bits;
};

class ModeBitsEncode : public testing::TestWithParam<ModeEncodeCase> {};

TEST_P(ModeBitsEncode, ors_masks_of_speeds_roles_and_aneg) {
    EXPECT_EQ(mode_bits_from_config(GetParam().config), GetParam().bits);
}

using S = EthLinkSpeed;
using R = EthRole;
INSTANTIATE_TEST_SUITE_P(
    Config, ModeBitsEncode,
    testing::Values(ModeEncodeCase{"empty", {}, 0x0000},
                    ModeEncodeCase{"ten_full", {{}, {S::Speed10MbitFullDuplex}, {}}, 0x0081},
                    ModeEncodeCase{"ten_half", {{}, {S::Speed10MbitHalfDuplex}, {}}, 0x0041},
                    ModeEncodeCase{"hundred_full", {{}, {S::Speed100MbitFullDuplex}, {}}, 0x0082},
                    ModeEncodeCase{"hundred_half", {{}, {S::Speed100MbitHalfDuplex}, {}}, 0x0042},
                    ModeEncodeCase{"gigabit_full", {{}, {S::Speed1000MbitFullDuplex}, {}}, 0x0084},
                    ModeEncodeCase{"gigabit_half", {{}, {S::Speed1000MbitHalfDuplex}, {}}, 0x0044},
                    ModeEncodeCase{"mixed_duplex_sets_both",
                                   {{}, {S::Speed10MbitFullDuplex, S::Speed1000MbitHalfDuplex}, {}},
                                   0x00C5},
                    ModeEncodeCase{"leader", {{R::Leader}, {}, {}}, 0x0200},
                    ModeEncodeCase{"leader_preferred", {{R::LeaderPreferred}, {}, {}}, 0x0200},
                    ModeEncodeCase{"follower", {{R::Follower}, {}, {}}, 0x0100},
                    ModeEncodeCase{"follower_preferred", {{R::FollowerPreferred}, {}, {}}, 0x0100},
                    ModeEncodeCase{"repeats_do_not_matter",
                                   {{R::Leader, R::Leader}, {S::Speed10MbitFullDuplex, S::Speed10MbitFullDuplex}, {}},
                                   0x0281},
                    ModeEncodeCase{"aneg", {{}, {}, EthAnegMode::IEEEAnegEnabled}, 0x0400}),
    [](const auto& info) { return std::string{info.param.name}; });

// ---- responses ----

TEST(Responses, version_and_numbers) {
    EXPECT_EQ(reply<Command::GetVersion>(hex("02 00 02 00 02 00")), 2);
    EXPECT_EQ(reply<Command::GetNumInterfaces>(hex("0E 00 02 00 00 00")), 0);
    EXPECT_EQ(reply<Command::GetEan>(hex("28 00 08 00 08 07 06 05 04 03 02 01")), 0x0102030405060708u);
    EXPECT_EQ(reply<Command::GetSerialNumber>(hex("1E 00 08 00 FF FF FF FF FF FF FF FF")), UINT64_MAX);
    EXPECT_EQ(reply<Command::UpdateFirmwareStart>(hex("32 00 02 00 00 10")), 4096);
    EXPECT_EQ(reply<Command::ReadVoltages>(hex("38 00 06 00 02 00 10 27 00 00")),
              (std::tuple<uint16_t, uint32_t>{2, 10000}));
    EXPECT_EQ(error_of(reply<Command::IdentifyDevice>(hex("08 00 02 00 03 00"))), service(3));
    // The firmware update reads the finalize status itself.
    EXPECT_EQ(proto::decode_fields<Command::UpdateFirmwareFinalize>(WireBuffer{hex("36 00 02 00 00 00")}.cspan()),
              std::tuple{ServiceStatus::Success});
    EXPECT_EQ(reply<Command::InterfaceGetLoopback>(hex("5A 00 01 00 02")), true);
    EXPECT_EQ(reply<Command::InterfaceGetLoopback>(hex("5A 00 01 00 00")), false);
    EXPECT_TRUE(reply<Command::InterfaceSetLoopback>(hex("58 00 00 00")));
    EXPECT_TRUE(reply<Command::InterfaceSetPacketGenerator>(hex("5C 00 00 00")));
    const DcqReading dcq{1, 2, 0x0605, 0x0807, 3, 4};
    EXPECT_EQ(reply<Command::InterfaceReadDcq>(hex("54 00 08 00 01 02 03 04 05 06 07 08")).map(spread(dcq_from_wire)),
              dcq);
}

TEST(Responses, texts) {
    EXPECT_EQ(reply<Command::DeviceGetName>(hex("04 00 05 00 03 00 61 62 63")), "abc");
    EXPECT_EQ(error_of(reply<Command::DeviceGetName>(hex("04 00 01 00 00"))), status(proto::kReadBeyondPayload));
    Bytes text127 = test::packet(0x22, Bytes{127, 0});
    text127.resize(text127.size() + 127, 'v');
    text127[2] = 129;
    EXPECT_EQ(reply<Command::GetFirmwareVersion>(text127), std::string(127, 'v'));
    Bytes text128 = test::packet(0x26, Bytes{128, 0});
    text128.resize(text128.size() + 128, 'v');
    text128[2] = 130;
    EXPECT_EQ(error_of(reply<Command::GetBootloaderVersion>(text128)), status(proto::kBufferTooSmall));
    EXPECT_EQ(reply<Command::DeviceGetNickname>(hex("52 00 05 00 03 00 61 00 62")), "a")
        << "a NUL inside the text cuts it";
    EXPECT_EQ(reply<Command::InterfaceGetNickname>(hex("10 00 04 00 02 00 C3 A9")), "\xC3\xA9");
    EXPECT_EQ(reply<Command::DeviceGetName>(hex("AD BA 02 00 00 00")), "")
        << "success without a field read leaves the empty text";
}

TEST(Responses, text_field_conversion_failures) {
    TextField no_nul;
    no_nul.fill('a');
    EXPECT_EQ(error_of(text_from_field(no_nul)), ProtocolError::text_decoding("Failed to decode utf-8 from bytes"));
    TextField bad{};
    bad[0] = '\xFF';
    EXPECT_EQ(error_of(text_from_field(bad)),
              ProtocolError::text_decoding("Failed to convert cstring to native String"));
    TextField full{};
    std::fill(full.begin(), full.end() - 1, 'z');
    EXPECT_EQ(text_from_field(full), std::string(127, 'z'));
}

TEST(Responses, service_status_fields) {
    EXPECT_TRUE(reply<Command::DeviceSetNickname>(hex("06 00 02 00 00 00")));
    EXPECT_EQ(error_of(reply<Command::DeviceSetNickname>(hex("06 00 02 00 03 00"))), service(3));
    EXPECT_EQ(error_of(reply<Command::DeviceSetNickname>(hex("AD BA 02 00 00 00"))), service(2))
        << "the status field starts at 2";
    EXPECT_EQ(error_of(reply<Command::InterfaceSetNickname>(hex("12 00 02 00 06 00"))), service(6));
    EXPECT_EQ(error_of(reply<Command::IdentifyInterface>(hex("AD BA 02 00 00 00"))), service(2));
    EXPECT_EQ(error_of(reply<Command::SetEthInterfaceMode>(hex("1A 00 02 00 17 00"))), service(23));
    EXPECT_TRUE(reply<Command::InterfaceSendTc10Command>(hex("4E 00 02 00 00 00")));
}

// 0 accepts the chunk; anything else rejects it.
TEST(Responses, firmware_chunk_result) {
    EXPECT_EQ(reply<Command::UpdateFirmwareSendChunk>(hex("34 00 02 00 00 00")), 0);
    EXPECT_EQ(reply<Command::UpdateFirmwareSendChunk>(hex("34 00 02 00 01 00")), 1);
    EXPECT_EQ(reply<Command::UpdateFirmwareSendChunk>(hex("AD BA 02 00 00 00")), 0)
        << "the chunk result starts at 0 (accepted)";
}

TEST(Responses, manufacturing_date) {
    using std::chrono::seconds;
    using std::chrono::sys_seconds;
    auto date = [](uint64_t secs) {
        Bytes b = hex("46 00 08 00");
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(secs >> (8 * i)));
        return reply<Command::GetManufacturingDate>(b, manufacturing_date_from_wire);
    };
    EXPECT_EQ(date(0), sys_seconds{});
    EXPECT_EQ(date(1700000000), sys_seconds{seconds{1700000000}});
    const auto max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    EXPECT_EQ(date(max), sys_seconds{seconds{std::numeric_limits<int64_t>::max()}});
    EXPECT_EQ(error_of(date(max + 1)), conversion("Manufacturing date out of range"));
    EXPECT_EQ(reply<Command::GetManufacturingDate>(hex("AD BA 02 00 00 00"), manufacturing_date_from_wire),
              sys_seconds{});
}

// ---- mode bits ----

struct ConfigDecodeCase {
    const char* name;
    uint16_t bits;
    tl::expected<EthInterfaceConfig, std::string> expected;
};

const char* const kBothDuplex = "Unable to convert both full and half duplex at the same time";

class ConfigDecode : public testing::TestWithParam<ConfigDecodeCase> {};

TEST_P(ConfigDecode, current_config_reply) {
    const auto& c = GetParam();
    // Status 3 in front: get_eth_config does not look at it.
    Bytes b = hex("1C 00 04 00 03 00");
    b.push_back(static_cast<uint8_t>(c.bits));
    b.push_back(static_cast<uint8_t>(c.bits >> 8));
    const auto r = reply<Command::GetEthInterfaceMode>(b, current_config);
    if (c.expected)
        EXPECT_EQ(r, *c.expected);
    else
        EXPECT_EQ(error_of(r), conversion(c.expected.error()));
}

INSTANTIATE_TEST_SUITE_P(
    ModeBits, ConfigDecode,
    testing::Values(
        ConfigDecodeCase{"none", 0x0000, EthInterfaceConfig{}},
        ConfigDecodeCase{
            "all_full_in_speed_order", 0x0087,
            EthInterfaceConfig{{},
                               {S::Speed10MbitFullDuplex, S::Speed100MbitFullDuplex, S::Speed1000MbitFullDuplex},
                               EthAnegMode::AnegDisabled}},
        ConfigDecodeCase{"no_duplex_bit_is_half", 0x0002, EthInterfaceConfig{{}, {S::Speed100MbitHalfDuplex}, {}}},
        ConfigDecodeCase{"half_bit", 0x0045,
                         EthInterfaceConfig{{}, {S::Speed10MbitHalfDuplex, S::Speed1000MbitHalfDuplex}, {}}},
        ConfigDecodeCase{"both_duplex_refused", 0x00C1, tl::unexpected(std::string{kBothDuplex})},
        ConfigDecodeCase{"aneg_alone", 0x0400, EthInterfaceConfig{{}, {}, EthAnegMode::IEEEAnegEnabled}},
        ConfigDecodeCase{"roles_leader_then_follower", 0x0300, EthInterfaceConfig{{R::Leader, R::Follower}, {}, {}}},
        ConfigDecodeCase{"unlisted_bits_ignored", 0xF838, EthInterfaceConfig{{}, {}, EthAnegMode::AnegDisabled}}),
    [](const auto& info) { return std::string{info.param.name}; });

// The mode bits convert as in ConfigDecode; only the status differs.
TEST(Responses, supported_configs_need_a_successful_status) {
    EXPECT_EQ(reply<Command::GetSupportedEthInterfaceModes>(hex("18 00 04 00 00 00 82 00"), config_from_mode_bits),
              (EthInterfaceConfig{{}, {S::Speed100MbitFullDuplex}, {}}));
    EXPECT_EQ(
        error_of(reply<Command::GetSupportedEthInterfaceModes>(hex("18 00 04 00 05 00 82 00"), config_from_mode_bits)),
        service(5));
    EXPECT_EQ(error_of(reply<Command::GetSupportedEthInterfaceModes>(hex("AD BA 02 00 00 00"), config_from_mode_bits)),
              service(2));
}

TEST(Responses, current_config_after_successful_error_response_has_both_duplex_bits) {
    EXPECT_EQ(error_of(reply<Command::GetEthInterfaceMode>(hex("AD BA 02 00 00 00"), current_config)),
              conversion(kBothDuplex));
}

// ---- interface status ----

struct StatusCase {
    const char* name;
    const char* record;  // the 5 payload bytes
    tl::expected<InterfaceStatus, std::string> expected;
};

class InterfaceStatusDecode : public testing::TestWithParam<StatusCase> {};

TEST_P(InterfaceStatusDecode, record) {
    const auto& c = GetParam();
    const auto r =
        reply<Command::GetInterfaceStatus>(test::packet(0x14, hex(c.record)), spread(interface_status_from_wire));
    if (c.expected)
        EXPECT_EQ(r, *c.expected);
    else
        EXPECT_EQ(error_of(r), conversion(c.expected.error()));
}

using L = EthLinkState;
INSTANTIATE_TEST_SUITE_P(
    Record, InterfaceStatusDecode,
    testing::Values(
        StatusCase{"t1_up_100_full_leader", "00 00 82 02 01",
                   InterfaceStatus{InterfaceType::T1, {L::Up, R::Leader, S::Speed100MbitFullDuplex}}},
        StatusCase{"no_duplex_bit_half_follower", "00 00 02 00 01",
                   InterfaceStatus{InterfaceType::T1, {L::Up, R::Follower, S::Speed100MbitHalfDuplex}}},
        StatusCase{"lowest_speed_bit_wins", "02 07 87 01 00",
                   InterfaceStatus{InterfaceType::T, {L::Down, R::Follower, S::Speed10MbitFullDuplex}}},
        StatusCase{"type_above_2_is_t", "09 00 44 02 00",
                   InterfaceStatus{InterfaceType::T, {L::Down, R::Leader, S::Speed1000MbitHalfDuplex}}},
        StatusCase{"reserved_type", "01 00 82 02 01",
                   tl::unexpected(std::string{"Encountered unknown interface type _TQ_INTERFACE_RESERVED_1"})},
        StatusCase{"type_checked_before_speed", "01 00 00 00 09",
                   tl::unexpected(std::string{"Encountered unknown interface type _TQ_INTERFACE_RESERVED_1"})},
        StatusCase{"both_duplex", "00 00 C1 00 01", tl::unexpected(std::string{kBothDuplex})},
        StatusCase{"missing_speed", "00 00 00 04 01", tl::unexpected(std::string{"Missing valid speed"})},
        StatusCase{"speed_checked_before_link_state", "00 00 00 00 07",
                   tl::unexpected(std::string{"Missing valid speed"})},
        StatusCase{"bad_link_state", "00 00 81 00 02",
                   tl::unexpected(std::string{"Failed to convert tq_eth_link_state_t to EthLinkState"})}),
    [](const auto& info) { return std::string{info.param.name}; });

TEST(Responses, interface_status_after_successful_error_response_fails_on_duplex) {
    EXPECT_EQ(
        error_of(reply<Command::GetInterfaceStatus>(hex("AD BA 02 00 00 00"), spread(interface_status_from_wire))),
        conversion(kBothDuplex));
}

// ---- packet generator, cable test, TC10 ----

struct PgCase {
    const char* name;
    const char* record;
    tl::expected<PacketGeneratorConfig, std::string> expected;
};

class PacketGeneratorDecode : public testing::TestWithParam<PgCase> {};

TEST_P(PacketGeneratorDecode, record) {
    const auto& c = GetParam();
    const auto r =
        reply<Command::InterfaceGetPacketGenerator>(test::packet(0x5E, hex(c.record)), spread(pg_config_from_wire));
    if (c.expected)
        EXPECT_EQ(r, *c.expected);
    else
        EXPECT_EQ(error_of(r), conversion(c.expected.error()));
}

const PacketGeneratorConfig kOff{};
INSTANTIATE_TEST_SUITE_P(
    Record, PacketGeneratorDecode,
    testing::Values(
        PgCase{"size_1518_only_zeroes_bad_crc", "01 02 01 00 01",
               PacketGeneratorConfig{true, PgPayloadSize::Size1518, PgPayloadType::OnlyZeroes,
                                     PgPacketValidity::SymbolErrorsBadCrc, 0}},
        PgCase{
            "wire_3_is_only_ones", "00 03 00 05 01",
            PacketGeneratorConfig{true, PgPayloadSize::Size64, PgPayloadType::OnlyOnes, PgPacketValidity::GoodCrc, 5}},
        PgCase{"alternating_burst_255", "00 01 00 FF 01",
               PacketGeneratorConfig{true, PgPayloadSize::Size64, PgPayloadType::Alternating, PgPacketValidity::GoodCrc,
                                     255}},
        PgCase{"bad_size", "02 00 00 00 01", tl::unexpected(std::string{"Failed to convert 2 to payload size "})},
        PgCase{"bad_type", "00 04 00 00 01", tl::unexpected(std::string{"Failed to convert 4 to payload type "})},
        PgCase{"bad_validity", "00 00 FF 00 01",
               tl::unexpected(std::string{"Failed to convert 255 to packet validity"})},
        PgCase{"size_checked_first", "07 09 09 00 01",
               tl::unexpected(std::string{"Failed to convert 7 to payload size "})},
        PgCase{"disabled_is_off_whatever_the_bytes", "02 09 09 09 00", kOff},
        PgCase{"enabled_any_non_zero", "00 00 00 00 02",
               PacketGeneratorConfig{true, PgPayloadSize::Size64, PgPayloadType::PseudoRandom,
                                     PgPacketValidity::GoodCrc, 0}}),
    [](const auto& info) { return std::string{info.param.name}; });

TEST(Responses, packet_generator_starting_value_is_off) {
    EXPECT_EQ(reply<Command::InterfaceGetPacketGenerator>(hex("AD BA 02 00 00 00"), spread(pg_config_from_wire)), kOff);
}

TEST(Responses, packet_generator_record_round_trips) {
    for (uint8_t size = 0; size < 2; ++size)
        for (uint8_t type = 0; type < 4; ++type)
            for (uint8_t validity = 0; validity < 2; ++validity) {
                const PacketGeneratorConfig config{true, static_cast<PgPayloadSize>(size),
                                                   static_cast<PgPayloadType>(type),
                                                   static_cast<PgPacketValidity>(validity), 17};
                EXPECT_EQ(std::apply(pg_config_from_wire, pg_config_to_wire(config)), config);
            }
}

TEST(Responses, cable_test) {
    EXPECT_EQ(reply<Command::InterfaceRunCableTest>(hex("56 00 02 00 02 05"), spread(cable_test_from_wire)),
              (CableTestResult{CableTestHarnessStatus::CableGood, 5}));
    EXPECT_EQ(reply<Command::InterfaceRunCableTest>(hex("56 00 02 00 00 FF"), spread(cable_test_from_wire)),
              (CableTestResult{CableTestHarnessStatus::CableOpen, 255}));
    EXPECT_EQ(reply<Command::InterfaceRunCableTest>(hex("56 00 02 00 01 00"), spread(cable_test_from_wire)),
              (CableTestResult{CableTestHarnessStatus::CableShorted, 0}));
    EXPECT_EQ(error_of(reply<Command::InterfaceRunCableTest>(hex("56 00 02 00 03 05"), spread(cable_test_from_wire))),
              conversion("Encountered invalid harness status"));
}

TEST(Responses, tc10_state) {
    for (uint8_t s = 0; s < 4; ++s)
        EXPECT_EQ(reply<Command::InterfaceGetTc10State>(test::packet(0x50, {0, 0, s}), tc10_state_from_wire),
                  static_cast<Tc10State>(s));
    EXPECT_EQ(error_of(reply<Command::InterfaceGetTc10State>(hex("50 00 03 00 00 00 04"), tc10_state_from_wire)),
              conversion("Failed to convert 4 to Tc10State"));
    EXPECT_EQ(error_of(reply<Command::InterfaceGetTc10State>(hex("50 00 03 00 06 00 01"), tc10_state_from_wire)),
              service(6));
    EXPECT_EQ(error_of(reply<Command::InterfaceGetTc10State>(hex("50 00 03 00 06 00 09"), tc10_state_from_wire)),
              service(6))
        << "a failed status wins over an unknown state";
}

// ---- arguments that cannot be sent ----

TEST(Arguments, requests_must_fit_the_buffer) {
    using C = Command;
    const uint16_t index = 0;
    EXPECT_EQ(encoded<C::DeviceSetNickname>(std::string(4090, 'n')), proto::kSuccess);
    EXPECT_EQ(encoded<C::DeviceSetNickname>(std::string(4091, 'n')), proto::kBufferTooSmall);
    EXPECT_EQ(encoded<C::InterfaceSetNickname>(index, std::string(4088, 'n')), proto::kSuccess);
    EXPECT_EQ(encoded<C::InterfaceSetNickname>(index, std::string(4089, 'n')), proto::kBufferTooSmall);
    EXPECT_EQ(encoded<C::DeviceSetNickname>(std::string(70000, 'n')), proto::kExceedingStringLengthLimit);
    const Bytes chunk4088(4088, 1), chunk4089(4089, 1);
    EXPECT_EQ(packet_len<C::UpdateFirmwareSendChunk>(uint64_t{0}, chunk4088), 4096u);
    EXPECT_EQ(encoded<C::UpdateFirmwareSendChunk>(uint64_t{0}, chunk4089), proto::kBufferTooSmall);
}

}  // namespace
}  // namespace tq::wire
