// The thin layer the client calls: the request bytes, response
// decoding into the client's types, and every failure text.
#include "protocol/codec.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "bytes.hpp"
#include "protocol/packet.hpp"
#include "protocol/status.hpp"
#include "protocol/wire_values.hpp"

namespace tq::wire {
namespace {

using test::Bytes;
using test::hex;
using test::WireBuffer;
using Kind = ProtocolError::Kind;
using proto::TextField;

constexpr uint32_t V1 = 1, V2 = 2;

template <class T>
ProtocolError error_of(const Result<T>& r) {
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

// Encodes with `encode` and returns the bytes put into the buffer.
std::string sent(const std::function<Encoded(Buffer)>& encode) {
    WireBuffer buf;
    const Encoded n = encode(buf.span());
    if (!n) return "error";
    return buf.first(*n);
}

// ---- every thin-layer pair is wired to its command and gated ----

struct Pair {
    const char* name;
    uint16_t request;
    uint32_t since;
    std::function<Encoded(uint32_t, Buffer)> encode;
    std::function<tl::expected<void, ProtocolError>(uint32_t, ConstBuffer)> decode;
};

template <class F>
auto drop_value(F f) {
    return [f](uint32_t v, ConstBuffer b) -> tl::expected<void, ProtocolError> {
        auto r = f(v, b);
        if (!r) return tl::unexpected(r.error());
        return {};
    };
}

const EthInterfaceConfig kConfig{{EthRole::LeaderPreferred},
                                 {EthLinkSpeed::Speed100MbitFullDuplex, EthLinkSpeed::Speed1000MbitFullDuplex},
                                 EthAnegMode::IEEEAnegEnabled};
const Bytes kChunk = hex("01 02 03");

std::vector<Pair> pairs() {
    return {
        {"get_version", 1, 0, [](uint32_t, Buffer b) { return encode_get_version(b); },
         drop_value([](uint32_t, ConstBuffer b) { return decode_get_version(b); })},
        {"get_ean", 39, 1, encode_get_ean, drop_value(decode_get_ean)},
        {"get_serial_number", 29, 1, encode_get_serial_number, drop_value(decode_get_serial_number)},
        {"get_name", 3, 1, encode_get_name, drop_value(decode_get_name)},
        {"get_nickname", 81, 2, encode_get_nickname, drop_value(decode_get_nickname)},
        {"set_nickname", 5, 2, [](uint32_t v, Buffer b) { return encode_set_nickname(v, b, "n"); },
         decode_set_nickname},
        {"identify", 7, 1, encode_identify, drop_value(decode_identify)},
        {"get_num_interfaces", 13, 1, encode_get_num_interfaces, drop_value(decode_get_num_interfaces)},
        {"get_firmware_ean", 9, 1, encode_get_firmware_ean, drop_value(decode_get_firmware_ean)},
        {"get_pcb_revision", 41, 1, encode_get_pcb_revision, drop_value(decode_get_pcb_revision)},
        {"get_firmware_version", 33, 1, encode_get_firmware_version, drop_value(decode_get_firmware_version)},
        {"get_bootloader_version", 37, 1, encode_get_bootloader_version, drop_value(decode_get_bootloader_version)},
        {"get_manufacturing_date", 69, 1, encode_get_manufacturing_date, drop_value(decode_get_manufacturing_date)},
        {"firmware_start", 49, 1, [](uint32_t v, Buffer b) { return encode_firmware_start(v, b, 10); },
         drop_value(decode_firmware_start)},
        {"firmware_chunk", 51, 1, [](uint32_t v, Buffer b) { return encode_firmware_chunk(v, b, 0, kChunk); },
         decode_firmware_chunk},
        {"firmware_finalize", 53, 1, encode_firmware_finalize, drop_value(decode_firmware_finalize)},
        {"if_get_nickname", 15, 1, [](uint32_t v, Buffer b) { return encode_if_get_nickname(v, b, 0); },
         drop_value(decode_if_get_nickname)},
        {"if_set_nickname", 17, 1, [](uint32_t v, Buffer b) { return encode_if_set_nickname(v, b, 0, "n"); },
         drop_value(decode_if_set_nickname)},
        {"if_get_status", 19, 1, [](uint32_t v, Buffer b) { return encode_if_get_status(v, b, 0); },
         drop_value(decode_if_get_status)},
        {"if_identify", 21, 1, [](uint32_t v, Buffer b) { return encode_if_identify(v, b, 0); },
         drop_value(decode_if_identify)},
        {"if_get_supported_eth_configs", 23, 1,
         [](uint32_t v, Buffer b) { return encode_if_get_supported_eth_configs(v, b, 0); },
         drop_value(decode_if_get_supported_eth_configs)},
        {"if_set_eth_config", 25, 1, [](uint32_t v, Buffer b) { return encode_if_set_eth_config(v, b, 0, kConfig); },
         drop_value(decode_if_set_eth_config)},
        {"if_get_eth_config", 27, 1, [](uint32_t v, Buffer b) { return encode_if_get_eth_config(v, b, 0); },
         drop_value(decode_if_get_eth_config)},
        {"if_send_tc10_command", 77, 2,
         [](uint32_t v, Buffer b) { return encode_if_send_tc10_command(v, b, 0, Tc10Command::Sleep); },
         drop_value(decode_if_send_tc10_command)},
        {"if_get_tc10_state", 79, 2, [](uint32_t v, Buffer b) { return encode_if_get_tc10_state(v, b, 0); },
         drop_value(decode_if_get_tc10_state)},
        {"if_read_dcq", 83, 2, [](uint32_t v, Buffer b) { return encode_if_read_dcq(v, b, 0); },
         drop_value(decode_if_read_dcq)},
        {"if_run_cable_test", 85, 2, [](uint32_t v, Buffer b) { return encode_if_run_cable_test(v, b, 0); },
         drop_value(decode_if_run_cable_test)},
        {"if_set_loopback_state", 87, 2,
         [](uint32_t v, Buffer b) { return encode_if_set_loopback_state(v, b, 0, true); },
         decode_if_set_loopback_state},
        {"if_get_loopback_state", 89, 2, [](uint32_t v, Buffer b) { return encode_if_get_loopback_state(v, b, 0); },
         drop_value(decode_if_get_loopback_state)},
        {"if_set_packet_generator_config", 91, 2,
         [](uint32_t v, Buffer b) { return encode_if_set_packet_generator_config(v, b, 0, {}); },
         decode_if_set_packet_generator_config},
        {"if_get_packet_generator_config", 93, 2,
         [](uint32_t v, Buffer b) { return encode_if_get_packet_generator_config(v, b, 0); },
         drop_value(decode_if_get_packet_generator_config)},
    };
}

class ThinLayer : public testing::TestWithParam<Pair> {};

TEST_P(ThinLayer, encoder_sends_its_command_and_is_gated_by_version) {
    const Pair& p = GetParam();
    for (const uint32_t version : {0u, 1u, 2u, 3u}) {
        WireBuffer buf;
        const Encoded n = p.encode(version, buf.span());
        const bool refused_v0 = version == 0 && p.since != 0;
        const bool refused_v1 = version == 1 && p.since == 2;
        if (version >= 3 && p.since != 0) {
            EXPECT_EQ(error_of(n).kind, Kind::UnfamiliarVersion) << version;
        } else if (refused_v0 || refused_v1) {
            EXPECT_EQ(error_of(n).kind, Kind::CommandNotInVersion) << version;
        } else {
            ASSERT_TRUE(n.has_value()) << version;
            EXPECT_EQ(buf.data[0] | buf.data[1] << 8, p.request);
            EXPECT_EQ(*n, 4u + (buf.data[2] | buf.data[3] << 8));
            continue;
        }
        EXPECT_EQ(buf.data[0], 0xEE) << "a refused command writes nothing";
    }
}

TEST_P(ThinLayer, decoder_translates_error_response_and_rejects_other_codes) {
    const Pair& p = GetParam();
    const bool version_query = p.since == 0;
    WireBuffer not_supported{hex("AD BA 02 00 05 00")};
    EXPECT_EQ(error_of(p.decode(V2, not_supported.cspan())),
              status(version_query ? proto::kProtocolError : proto::kServiceNotSupportedByDevice));
    WireBuffer unspecified{hex("AD BA 02 00 02 00")};
    EXPECT_EQ(error_of(p.decode(V2, unspecified.cspan())),
              status(version_query ? proto::kProtocolError : proto::kServiceApiError));
    WireBuffer not_implemented{hex("AD BA 02 00 01 00")};
    if (!version_query) {
        EXPECT_EQ(error_of(p.decode(V2, not_implemented.cspan())).kind, Kind::CommandNotInVersion);
    }
    WireBuffer request_echo{test::header(p.request, 0)};
    EXPECT_EQ(error_of(p.decode(V2, request_echo.cspan())), status(proto::kProtocolError));
}

TEST_P(ThinLayer, decoder_is_gated_by_version) {
    const Pair& p = GetParam();
    WireBuffer buf{test::header(static_cast<uint16_t>(p.request + 1), 0)};
    if (p.since == 0) return;  // the version query takes no version
    EXPECT_EQ(error_of(p.decode(0, buf.cspan())).kind, Kind::CommandNotInVersion);
    EXPECT_EQ(error_of(p.decode(3, buf.cspan())).kind, Kind::UnfamiliarVersion);
    EXPECT_EQ(error_of(p.decode(0xFFFFFFFF, buf.cspan())).kind, Kind::UnfamiliarVersion);
    if (p.since == 2) {
        EXPECT_EQ(error_of(p.decode(1, buf.cspan())).kind, Kind::CommandNotInVersion);
    }
}

TEST_P(ThinLayer, header_announcing_more_than_the_buffer_holds_is_refused) {
    const Pair& p = GetParam();
    WireBuffer buf{test::header(static_cast<uint16_t>(p.request + 1), kBufferSize - 3)};
    EXPECT_EQ(error_of(p.decode(V2, buf.cspan())), status(proto::kBufferTooSmall));
}

INSTANTIATE_TEST_SUITE_P(EveryPair, ThinLayer, testing::ValuesIn(pairs()),
                         [](const auto& info) { return std::string{info.param.name}; });

// ---- request bytes ----

TEST(Requests, bytes_on_the_wire) {
    struct Case {
        const char* name;
        std::function<Encoded(Buffer)> encode;
        const char* bytes;
    };
    const Case cases[] = {
        {"version_query", [](Buffer b) { return encode_get_version(b); }, "01 00 00 00"},
        {"name_query", [](Buffer b) { return encode_get_name(V1, b); }, "03 00 00 00"},
        {"status_index_1", [](Buffer b) { return encode_if_get_status(V1, b, 1); }, "13 00 02 00 01 00"},
        {"status_index_0", [](Buffer b) { return encode_if_get_status(V1, b, 0); }, "13 00 02 00 00 00"},
        {"empty_nickname", [](Buffer b) { return encode_set_nickname(V2, b, ""); }, "05 00 02 00 00 00"},
        {"nickname_abc", [](Buffer b) { return encode_set_nickname(V2, b, "abc"); }, "05 00 05 00 03 00 61 62 63"},
        {"if_nickname", [](Buffer b) { return encode_if_set_nickname(V1, b, 1, "x"); }, "11 00 05 00 01 00 01 00 78"},
        {"firmware_start_1000", [](Buffer b) { return encode_firmware_start(V1, b, 1000); },
         "31 00 05 00 00 E8 03 00 00"},
        {"firmware_chunk", [](Buffer b) { return encode_firmware_chunk(V1, b, 2, kChunk); },
         "33 00 07 00 02 00 03 00 01 02 03"},
        {"set_eth_config", [](Buffer b) { return encode_if_set_eth_config(V1, b, 0, kConfig); },
         "19 00 04 00 00 00 86 06"},
        {"tc10_wake_up", [](Buffer b) { return encode_if_send_tc10_command(V2, b, 0, Tc10Command::WakeUp); },
         "4D 00 03 00 00 00 01"},
        {"tc10_sleep", [](Buffer b) { return encode_if_send_tc10_command(V2, b, 0, Tc10Command::Sleep); },
         "4D 00 03 00 00 00 00"},
        {"loopback_off", [](Buffer b) { return encode_if_set_loopback_state(V2, b, 3, false); },
         "57 00 03 00 03 00 00"},
        {"pg_enabled",
         [](Buffer b) {
             return encode_if_set_packet_generator_config(
                 V2, b, 0,
                 {true, PgPayloadSize::Size1518, PgPayloadType::OnlyZeroes, PgPacketValidity::SymbolErrorsBadCrc, 7});
         },
         "5B 00 07 00 00 00 01 02 01 07 01"},
        {"pg_only_ones_is_wire_3",
         [](Buffer b) {
             return encode_if_set_packet_generator_config(
                 V2, b, 0, {true, PgPayloadSize::Size64, PgPayloadType::OnlyOnes, PgPacketValidity::GoodCrc, 0});
         },
         "5B 00 07 00 00 00 00 03 00 00 01"},
        {"pg_disabled_ignores_other_fields",
         [](Buffer b) {
             return encode_if_set_packet_generator_config(
                 V2, b, 0,
                 {false, PgPayloadSize::Size1518, PgPayloadType::OnlyOnes, PgPacketValidity::SymbolErrorsBadCrc, 9});
         },
         "5B 00 07 00 00 00 00 01 00 00 00"},
    };
    for (const Case& c : cases) EXPECT_EQ(sent(c.encode), c.bytes) << c.name;
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
    EXPECT_EQ(decode_get_version(WireBuffer{hex("02 00 02 00 02 00")}.cspan()), 2);
    EXPECT_EQ(decode_get_num_interfaces(V1, WireBuffer{hex("0E 00 02 00 00 00")}.cspan()), 0);
    EXPECT_EQ(decode_get_ean(V1, WireBuffer{hex("28 00 08 00 08 07 06 05 04 03 02 01")}.cspan()), 0x0102030405060708u);
    EXPECT_EQ(decode_get_serial_number(V1, WireBuffer{hex("1E 00 08 00 FF FF FF FF FF FF FF FF")}.cspan()), UINT64_MAX);
    EXPECT_EQ(decode_firmware_start(V1, WireBuffer{hex("32 00 02 00 00 10")}.cspan()), 4096);
    EXPECT_EQ(decode_identify(V1, WireBuffer{hex("08 00 02 00 03 00")}.cspan()), ServiceStatus{3});
    EXPECT_EQ(decode_firmware_finalize(V1, WireBuffer{hex("36 00 02 00 00 00")}.cspan()), ServiceStatus{0});
    EXPECT_EQ(decode_if_get_loopback_state(V2, WireBuffer{hex("5A 00 01 00 02")}.cspan()), true);
    EXPECT_EQ(decode_if_get_loopback_state(V2, WireBuffer{hex("5A 00 01 00 00")}.cspan()), false);
    EXPECT_TRUE(decode_if_set_loopback_state(V2, WireBuffer{hex("58 00 00 00")}.cspan()));
    EXPECT_TRUE(decode_if_set_packet_generator_config(V2, WireBuffer{hex("5C 00 00 00")}.cspan()));
    const DcqReading dcq{1, 2, 0x0605, 0x0807, 3, 4};
    EXPECT_EQ(decode_if_read_dcq(V2, WireBuffer{hex("54 00 08 00 01 02 03 04 05 06 07 08")}.cspan()), dcq);
}

TEST(Responses, texts) {
    EXPECT_EQ(decode_get_name(V1, WireBuffer{hex("04 00 05 00 03 00 61 62 63")}.cspan()), "abc");
    EXPECT_EQ(error_of(decode_get_name(V1, WireBuffer{hex("04 00 01 00 00")}.cspan())),
              status(proto::kReadBeyondPayload));
    Bytes text127 = test::packet(0x22, Bytes{127, 0});
    text127.resize(text127.size() + 127, 'v');
    text127[2] = 129;
    EXPECT_EQ(decode_get_firmware_version(V1, WireBuffer{text127}.cspan()), std::string(127, 'v'));
    Bytes text128 = test::packet(0x26, Bytes{128, 0});
    text128.resize(text128.size() + 128, 'v');
    text128[2] = 130;
    EXPECT_EQ(error_of(decode_get_bootloader_version(V1, WireBuffer{text128}.cspan())), status(proto::kBufferTooSmall));
    EXPECT_EQ(error_of(decode_get_pcb_revision(V1, WireBuffer{hex("2A 00 04 00 02 00 C3 28")}.cspan())),
              status(proto::kInvalidUtf8));
    EXPECT_EQ(decode_get_nickname(V2, WireBuffer{hex("52 00 05 00 03 00 61 00 62")}.cspan()), "a")
        << "a NUL inside the text cuts it";
    EXPECT_EQ(decode_if_get_nickname(V1, WireBuffer{hex("10 00 04 00 02 00 C3 A9")}.cspan()), "\xC3\xA9");
    EXPECT_EQ(decode_get_name(V1, WireBuffer{hex("AD BA 02 00 00 00")}.cspan()), "")
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
    EXPECT_TRUE(decode_set_nickname(V2, WireBuffer{hex("06 00 02 00 00 00")}.cspan()));
    EXPECT_EQ(error_of(decode_set_nickname(V2, WireBuffer{hex("06 00 02 00 03 00")}.cspan())), service(3));
    EXPECT_EQ(error_of(decode_set_nickname(V2, WireBuffer{hex("AD BA 02 00 00 00")}.cspan())), service(2))
        << "the status field starts at 2";
    EXPECT_EQ(decode_if_set_nickname(V1, WireBuffer{hex("12 00 02 00 06 00")}.cspan()), ServiceStatus{6});
    EXPECT_EQ(decode_if_identify(V1, WireBuffer{hex("AD BA 02 00 00 00")}.cspan()), ServiceStatus{2});
    EXPECT_EQ(decode_if_set_eth_config(V1, WireBuffer{hex("1A 00 02 00 17 00")}.cspan()), ServiceStatus{23});
    EXPECT_EQ(decode_if_send_tc10_command(V2, WireBuffer{hex("4E 00 02 00 00 00")}.cspan()), ServiceStatus{0});
}

TEST(Responses, firmware_chunk_result) {
    EXPECT_TRUE(decode_firmware_chunk(V1, WireBuffer{hex("34 00 02 00 00 00")}.cspan()));
    EXPECT_FALSE(decode_firmware_chunk(V1, WireBuffer{hex("34 00 02 00 01 00")}.cspan()));
    EXPECT_TRUE(decode_firmware_chunk(V1, WireBuffer{hex("AD BA 02 00 00 00")}.cspan()))
        << "the chunk result starts at 0 (accepted)";
}

TEST(Responses, manufacturing_date) {
    using std::chrono::seconds;
    using std::chrono::sys_seconds;
    auto date = [](uint64_t secs) {
        Bytes b = hex("46 00 08 00");
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(secs >> (8 * i)));
        return decode_get_manufacturing_date(V1, WireBuffer{b}.cspan());
    };
    EXPECT_EQ(date(0), sys_seconds{});
    EXPECT_EQ(date(1700000000), sys_seconds{seconds{1700000000}});
    const auto max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    EXPECT_EQ(date(max), sys_seconds{seconds{std::numeric_limits<int64_t>::max()}});
    EXPECT_EQ(error_of(date(max + 1)), conversion("Manufacturing date out of range"));
    EXPECT_EQ(error_of(date(UINT64_MAX)), conversion("Manufacturing date out of range"));
    EXPECT_EQ(decode_get_manufacturing_date(V1, WireBuffer{hex("AD BA 02 00 00 00")}.cspan()), sys_seconds{});
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
    const auto r = decode_if_get_eth_config(V1, WireBuffer{b}.cspan());
    if (c.expected)
        EXPECT_EQ(r, *c.expected);
    else
        EXPECT_EQ(error_of(r), conversion(c.expected.error()));
}

TEST_P(ConfigDecode, supported_configs_reply_with_success) {
    const auto& c = GetParam();
    Bytes b = hex("18 00 04 00 00 00");
    b.push_back(static_cast<uint8_t>(c.bits));
    b.push_back(static_cast<uint8_t>(c.bits >> 8));
    const auto r = decode_if_get_supported_eth_configs(V1, WireBuffer{b}.cspan());
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

TEST(Responses, supported_configs_with_failed_status_is_service_failure) {
    EXPECT_EQ(error_of(decode_if_get_supported_eth_configs(V1, WireBuffer{hex("18 00 04 00 05 00 82 00")}.cspan())),
              service(5));
    EXPECT_EQ(error_of(decode_if_get_supported_eth_configs(V1, WireBuffer{hex("AD BA 02 00 00 00")}.cspan())),
              service(2));
}

TEST(Responses, current_config_after_successful_error_response_has_both_duplex_bits) {
    EXPECT_EQ(error_of(decode_if_get_eth_config(V1, WireBuffer{hex("AD BA 02 00 00 00")}.cspan())),
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
    const auto r = decode_if_get_status(V1, WireBuffer{test::packet(0x14, hex(c.record))}.cspan());
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
    EXPECT_EQ(error_of(decode_if_get_status(V1, WireBuffer{hex("AD BA 02 00 00 00")}.cspan())),
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
    const auto r = decode_if_get_packet_generator_config(V2, WireBuffer{test::packet(0x5E, hex(c.record))}.cspan());
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
    EXPECT_EQ(decode_if_get_packet_generator_config(V2, WireBuffer{hex("AD BA 02 00 00 00")}.cspan()), kOff);
}

TEST(Responses, packet_generator_record_round_trips) {
    for (uint8_t size = 0; size < 2; ++size)
        for (uint8_t type = 0; type < 4; ++type)
            for (uint8_t validity = 0; validity < 2; ++validity) {
                const PacketGeneratorConfig config{true, static_cast<PgPayloadSize>(size),
                                                   static_cast<PgPayloadType>(type),
                                                   static_cast<PgPacketValidity>(validity), 17};
                EXPECT_EQ(pg_config_from_record(record_from_pg_config(config)), config);
            }
}

TEST(Responses, cable_test) {
    EXPECT_EQ(decode_if_run_cable_test(V2, WireBuffer{hex("56 00 02 00 02 05")}.cspan()),
              (CableTestResult{CableTestHarnessStatus::CableGood, 5}));
    EXPECT_EQ(decode_if_run_cable_test(V2, WireBuffer{hex("56 00 02 00 00 FF")}.cspan()),
              (CableTestResult{CableTestHarnessStatus::CableOpen, 255}));
    EXPECT_EQ(decode_if_run_cable_test(V2, WireBuffer{hex("56 00 02 00 01 00")}.cspan()),
              (CableTestResult{CableTestHarnessStatus::CableShorted, 0}));
    EXPECT_EQ(error_of(decode_if_run_cable_test(V2, WireBuffer{hex("56 00 02 00 03 05")}.cspan())),
              conversion("Encountered invalid harness status"));
}

TEST(Responses, tc10_state) {
    for (uint8_t s = 0; s < 4; ++s)
        EXPECT_EQ(decode_if_get_tc10_state(V2, WireBuffer{test::packet(0x50, {0, 0, s})}.cspan()),
                  static_cast<Tc10State>(s));
    EXPECT_EQ(error_of(decode_if_get_tc10_state(V2, WireBuffer{hex("50 00 03 00 00 00 04")}.cspan())),
              conversion("Failed to convert 4 to Tc10State"));
    EXPECT_EQ(error_of(decode_if_get_tc10_state(V2, WireBuffer{hex("50 00 03 00 06 00 01")}.cspan())), service(6));
    EXPECT_EQ(error_of(decode_if_get_tc10_state(V2, WireBuffer{hex("50 00 03 00 06 00 09")}.cspan())), service(6))
        << "a failed status wins over an unknown state";
}

// ---- arguments that cannot be sent ----

TEST(Arguments, nickname_with_nul_is_refused_before_encoding) {
    const std::string nickname{"ab\0c", 4};
    for (const uint32_t version : {0u, 2u}) {
        WireBuffer buf;
        const auto expected = ProtocolError::text_decoding("Failed to encode " + nickname + " as utf-8 cstring");
        EXPECT_EQ(error_of(encode_set_nickname(version, buf.span(), nickname)), expected);
        EXPECT_EQ(error_of(encode_if_set_nickname(version, buf.span(), 0, nickname)), expected);
        EXPECT_EQ(buf.data[0], 0xEE);
    }
}

TEST(Arguments, nickname_must_be_utf8) {
    WireBuffer buf;
    EXPECT_EQ(error_of(encode_set_nickname(V2, buf.span(), "\xC0\xAF")), status(proto::kInvalidUtf8));
}

TEST(Arguments, requests_must_fit_the_buffer) {
    WireBuffer buf;
    EXPECT_TRUE(encode_set_nickname(V2, buf.span(), std::string(4090, 'n')));
    EXPECT_EQ(error_of(encode_set_nickname(V2, buf.span(), std::string(4091, 'n'))), status(proto::kBufferTooSmall));
    EXPECT_TRUE(encode_if_set_nickname(V1, buf.span(), 0, std::string(4088, 'n')));
    EXPECT_EQ(error_of(encode_if_set_nickname(V1, buf.span(), 0, std::string(4089, 'n'))),
              status(proto::kBufferTooSmall));
    EXPECT_EQ(error_of(encode_set_nickname(V2, buf.span(), std::string(70000, 'n'))),
              status(proto::kExceedingStringLengthLimit));
    const Bytes chunk4088(4088, 1), chunk4089(4089, 1), chunk65536(65536, 1);
    EXPECT_EQ(encode_firmware_chunk(V1, buf.span(), 0, chunk4088), Encoded{4096});
    EXPECT_EQ(error_of(encode_firmware_chunk(V1, buf.span(), 0, chunk4089)), status(proto::kBufferTooSmall));
    EXPECT_EQ(error_of(encode_firmware_chunk(V1, buf.span(), 0, chunk65536)), status(proto::kValueOutOfBounds));
}

TEST(Arguments, firmware_numbers_out_of_range) {
    WireBuffer buf;
    EXPECT_TRUE(encode_firmware_start(V1, buf.span(), 0xFFFFFFFF));
    EXPECT_EQ(error_of(encode_firmware_start(V1, buf.span(), 0x100000000)), status(proto::kValueOutOfBounds));
    EXPECT_TRUE(encode_firmware_chunk(V1, buf.span(), 65535, kChunk));
    EXPECT_EQ(error_of(encode_firmware_chunk(V1, buf.span(), 65536, kChunk)), status(proto::kValueOutOfBounds));
}

}  // namespace
}  // namespace tq::wire
