// The command table and the generic codec: the version gate for every
// command, the response code check, the error-response translation, starting
// values, field layouts and the per-command argument checks.
#include "protocol/commands.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "protocol/status.hpp"

namespace tq::proto {
namespace {

using test::Bytes;
using test::hex;

// Written out by hand, not derived from kCommands, so a wrong table entry shows
// up here.
const std::set<uint16_t> kVersion2Commands = {5, 77, 79, 81, 83, 85, 87, 89, 91, 93, 95, 97};
const std::set<uint16_t> kWithoutCodec = {31, 35};

std::vector<const CommandInfo*> codec_commands() {
    std::vector<const CommandInfo*> out;
    for (const CommandInfo& c : kCommands)
        if (c.has_codec) out.push_back(&c);
    return out;
}

std::string command_label(const CommandInfo* c) {
    return "cmd" + std::to_string(request_code(c->command));
}

// Owns the storage a list of FieldValues points into.
struct Fields {
    std::vector<FieldValue> values;
    std::vector<std::vector<char>> text_fields;
    std::vector<std::string> texts;
    std::vector<Bytes> blobs;

    // Arguments for a layout: numbers at `number` (clamped to each field's
    // limit), texts and byte strings from `text`.
    static Fields arguments(const Layout& layout, uint64_t number = 0, const std::string& text = "") {
        Fields f;
        f.texts.reserve(layout.size());
        f.blobs.reserve(layout.size());
        for (const FieldSpec& spec : layout.span()) {
            FieldValue v;
            if (spec.kind == FieldKind::Text) {
                f.texts.push_back(text);
                v = FieldValue::of_text(f.texts.back());
            } else if (spec.kind == FieldKind::Bytes) {
                f.blobs.emplace_back(text.begin(), text.end());
                v.bytes = f.blobs.back();
            } else {
                v.number = std::min(number, spec.max);
            }
            f.values.push_back(v);
        }
        return f;
    }

    // Output slots for a layout, each text with a 128-byte field.
    static Fields outputs(const Layout& layout) {
        Fields f;
        f.text_fields.reserve(layout.size());
        for (const FieldSpec& spec : layout.span()) {
            FieldValue v;
            v.number = 0xDEAD;  // must be overwritten by the decoder
            if (spec.kind == FieldKind::Text) {
                f.text_fields.emplace_back(kTextFieldCapacity, '#');
                v.text_field = f.text_fields.back();
            }
            f.values.push_back(v);
        }
        return f;
    }
};

// A packet being written into a buffer of its own.
struct Built {
    Bytes buffer = Bytes(kHeaderLen + kMaxPayloadLen, 0xEE);
    PacketWriter writer{buffer};
    Bytes bytes() const { return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(writer.packet_len())}; }
};

// A packet read from bytes of its own.
struct Parsed {
    explicit Parsed(Bytes b) : bytes(std::move(b)) { EXPECT_EQ(reader.parse(bytes), kSuccess); }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
    Bytes bytes;
    PacketReader reader;
};

// A well-formed response to `c` with every number at `number` and texts "abc".
Bytes sample_response(const CommandInfo& c, uint64_t number = 1) {
    Fields f = Fields::arguments(c.response, number, "abc");
    Built p;
    EXPECT_EQ(encode_response_values(p.writer, c.command, f.values), kSuccess);
    return p.bytes();
}

// ---- the table ----

TEST(CommandTable, lists_every_odd_code_up_to_97_with_codec_where_the_protocol_has_one) {
    ASSERT_EQ(kCommands.size(), 49u);
    for (const CommandInfo& c : kCommands) {
        const uint16_t code = request_code(c.command);
        EXPECT_EQ(c.has_codec, !kWithoutCodec.contains(code)) << code;
        EXPECT_EQ(find_command(code), &c);
    }
    EXPECT_EQ(find_command(0), nullptr);
    EXPECT_EQ(find_command(4), nullptr);
    EXPECT_EQ(find_command(99), nullptr);
    EXPECT_EQ(find_command(kErrorResponse), nullptr);
}

TEST(CommandTable, every_interface_request_starts_with_the_index) {
    for (const CommandInfo& c : kCommands) {
        const uint16_t code = request_code(c.command);
        const bool interface = (code >= 15 && code <= 27) || code == 77 || code == 79 || (code >= 83 && code != 95);
        EXPECT_EQ(addresses_interface(c), interface) << code;
        if (interface) {
            EXPECT_EQ(c.request[0].kind, FieldKind::U16) << code;
        }
    }
}

// Payload bytes of a layout, counting texts and byte strings as empty.
size_t fixed_payload_size(const Layout& layout) {
    size_t n = 0;
    for (const FieldSpec& f : layout.span()) {
        switch (f.kind) {
            case FieldKind::U8:
            case FieldKind::Bool:
                n += 1;
                break;
            case FieldKind::U32:
                n += 4;
                break;
            case FieldKind::U64:
                n += 8;
                break;
            default:
                n += 2;  // u16, status, and the count of texts and byte strings
        }
    }
    return n;
}

TEST(CommandTable, fixed_payload_sizes_match_the_messages) {
    struct Size {
        Command command;
        size_t request, response;
    };
    const Size sizes[] = {
        {Command::GetVersion, 0, 2},
        {Command::DeviceGetName, 0, 2},
        {Command::UpdateFirmwareStart, 5, 2},
        {Command::UpdateFirmwareSendChunk, 4, 2},
        {Command::GetInterfaceStatus, 2, 5},
        {Command::SetEthInterfaceMode, 4, 2},
        {Command::GetEthInterfaceMode, 2, 4},
        {Command::InterfaceSendTc10Command, 3, 2},
        {Command::InterfaceGetTc10State, 2, 3},
        {Command::InterfaceReadDcq, 2, 8},
        {Command::InterfaceRunCableTest, 2, 2},
        {Command::InterfaceSetLoopback, 3, 0},
        {Command::InterfaceGetLoopback, 2, 1},
        {Command::InterfaceSetPacketGenerator, 7, 0},
        {Command::InterfaceGetPacketGenerator, 2, 5},
        {Command::ReadVoltages, 1, 6},
        {Command::RebootDevice, 4, 2},
        {Command::Unnamed95, 0, 8},
        {Command::Unnamed97, 2, 8},
        {Command::SetManufacturingDate, 8, 2},
    };
    for (const Size& s : sizes) {
        const CommandInfo& c = command_info(s.command);
        EXPECT_EQ(fixed_payload_size(c.request), s.request) << request_code(s.command);
        EXPECT_EQ(fixed_payload_size(c.response), s.response) << request_code(s.command);
    }
}

// ---- version gate ----

// Every command, with or without a codec, at the versions around each boundary.
TEST(VersionGate, every_command_at_every_version) {
    for (const CommandInfo& c : kCommands) {
        const uint16_t code = request_code(c.command);
        for (const uint32_t version : {0u, 1u, 2u, 3u, 0xFFFFFFFFu}) {
            Status expected = kSuccess;
            if (code != 1 && version == 0) expected = kNotImplemented;
            if (code != 1 && version >= 3) expected = kUnfamiliarProtocolVersion;
            if (version == 1 && kVersion2Commands.contains(code)) expected = kNotImplemented;
            EXPECT_EQ(version_gate(version, c.command), expected) << code << " v" << version;
        }
    }
}

// ---- response code check and error response ----

class EveryDecoder : public testing::TestWithParam<const CommandInfo*> {};

// The translation itself is pinned in status_test; here every decoder must use it.
// The version query never reads an error response: it is just another code.
TEST_P(EveryDecoder, error_response_gives_translated_service_status) {
    const CommandInfo& c = *GetParam();
    const bool version_query = c.command == Command::GetVersion;
    for (uint16_t service = 0; service <= 25; ++service) {
        Parsed p{test::packet(kErrorResponse, {static_cast<uint8_t>(service), 0})};
        Fields out = Fields::outputs(c.response);
        EXPECT_EQ(decode_response_values(p.reader, c.command, out.values),
                  version_query ? kProtocolError : translate_service_status(ServiceStatus{service}))
            << "service " << service;
    }
    Parsed cut{hex("AD BA 01 00 05")};
    Fields out = Fields::outputs(c.response);
    EXPECT_EQ(decode_response_values(cut.reader, c.command, out.values),
              version_query ? kProtocolError : kReadBeyondPayload);
}

TEST_P(EveryDecoder, another_commands_code_is_a_protocol_error) {
    const CommandInfo& c = *GetParam();
    for (const uint16_t code :
         {request_code(c.command), static_cast<uint16_t>(response_code(c.command) + 2), uint16_t{0}}) {
        Bytes b = sample_response(c);
        b[0] = static_cast<uint8_t>(code);
        b[1] = static_cast<uint8_t>(code >> 8);
        Parsed p{b};
        Fields out = Fields::outputs(c.response);
        EXPECT_EQ(decode_response_values(p.reader, c.command, out.values), kProtocolError) << code;
    }
}

TEST_P(EveryDecoder, error_response_with_success_leaves_starting_values) {
    const CommandInfo& c = *GetParam();
    Parsed p{hex("AD BA 02 00 00 00")};
    Fields out = Fields::outputs(c.response);
    ASSERT_EQ(decode_response_values(p.reader, c.command, out.values),
              c.command == Command::GetVersion ? kProtocolError : kSuccess);
    for (size_t i = 0; i < c.response.size(); ++i) {
        const FieldSpec& spec = c.response[i];
        if (spec.kind == FieldKind::Text)
            EXPECT_EQ(std::count(out.values[i].text_field.begin(), out.values[i].text_field.end(), '\0'),
                      static_cast<std::ptrdiff_t>(kTextFieldCapacity))
                << "text fields start zero-filled";
        else
            EXPECT_EQ(out.values[i].number, spec.initial);
    }
}

TEST_P(EveryDecoder, response_round_trips_and_extra_bytes_are_ignored) {
    const CommandInfo& c = *GetParam();
    for (const uint64_t number : {uint64_t{0}, uint64_t{1}, UINT64_MAX}) {
        Bytes b = sample_response(c, number);
        const size_t payload = b.size() - 4 + 3;
        b.insert(b.end(), {0xAA, 0xBB, 0xCC});
        b[2] = static_cast<uint8_t>(payload);
        b[3] = static_cast<uint8_t>(payload >> 8);
        Parsed p{b};
        Fields out = Fields::outputs(c.response);
        ASSERT_EQ(decode_response_values(p.reader, c.command, out.values), kSuccess);
        const Fields in = Fields::arguments(c.response, number, "abc");
        for (size_t i = 0; i < c.response.size(); ++i) {
            if (c.response[i].kind == FieldKind::Text)
                EXPECT_STREQ(out.values[i].text_field.data(), "abc");
            else
                EXPECT_EQ(out.values[i].number,
                          c.response[i].kind == FieldKind::Bool ? (number ? 1 : 0) : in.values[i].number);
        }
    }
}

TEST_P(EveryDecoder, payload_ending_inside_a_field_is_cut_and_discards_earlier_fields) {
    const CommandInfo& c = *GetParam();
    const Bytes full = sample_response(c, 7);
    const size_t payload = full.size() - 4;
    for (size_t cut = 0; cut < payload; ++cut) {
        Bytes b(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(4 + cut));
        b[2] = static_cast<uint8_t>(cut);
        b[3] = 0;
        Parsed p{b};
        Fields out = Fields::outputs(c.response);
        EXPECT_EQ(decode_response_values(p.reader, c.command, out.values), kReadBeyondPayload) << "cut at " << cut;
        for (size_t i = 0; i < c.response.size(); ++i) {
            if (c.response[i].kind != FieldKind::Text) {
                EXPECT_EQ(out.values[i].number, c.response[i].initial);
            }
        }
    }
}

TEST_P(EveryDecoder, request_round_trips_through_device_side) {
    const CommandInfo& c = *GetParam();
    const Fields in = Fields::arguments(c.request, 1, "xyz");
    Built p;
    ASSERT_EQ(encode_request_values(p.writer, c.command, in.values), kSuccess);
    Parsed received{p.bytes()};
    Fields out = Fields::outputs(c.request);
    ASSERT_EQ(decode_request_values(received.reader, c.command, out.values), kSuccess);
    for (size_t i = 0; i < c.request.size(); ++i) {
        switch (c.request[i].kind) {
            case FieldKind::Text:
                EXPECT_STREQ(out.values[i].text_field.data(), "xyz");
                break;
            case FieldKind::Bytes:
                EXPECT_EQ(Bytes(out.values[i].bytes.begin(), out.values[i].bytes.end()), hex("78 79 7A"));
                break;
            default:
                EXPECT_EQ(out.values[i].number, 1u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, EveryDecoder, testing::ValuesIn(codec_commands()),
                         [](const auto& info) { return command_label(info.param); });

// ---- starting values ----

TEST(StartingValues, interface_records) {
    const Bytes ok_error = hex("AD BA 02 00 00 00");
    {
        Parsed p{ok_error};
        uint8_t type = 0, ignored = 9, link = 0;
        uint16_t bits = 0;
        ASSERT_EQ(decode_response<Command::GetInterfaceStatus>(p.reader, type, ignored, bits, link), kSuccess);
        EXPECT_EQ(type, 2);
        EXPECT_EQ(bits, 0xFFFF);
        EXPECT_EQ(link, 0xFF);
    }
    {
        Parsed p{ok_error};
        uint16_t status = 0, bits = 0;
        ASSERT_EQ(decode_response<Command::GetEthInterfaceMode>(p.reader, status, bits), kSuccess);
        EXPECT_EQ(ServiceStatus{status}, ServiceStatus::UnspecifiedError);
        EXPECT_EQ(bits, 0xFFFF);
    }
    {
        Parsed p{ok_error};
        uint8_t size = 9, type = 9, validity = 9, burst = 9;
        bool enabled = true;
        ASSERT_EQ(decode_response<Command::InterfaceGetPacketGenerator>(p.reader, size, type, validity, burst, enabled),
                  kSuccess);
        EXPECT_EQ(test::to_hex({size, type, validity, burst}), "00 01 00 00");
        EXPECT_FALSE(enabled);
    }
    {
        Parsed p{ok_error};
        ServiceStatus status = ServiceStatus::Success;
        uint8_t state = 9;
        ASSERT_EQ(decode_response<Command::InterfaceGetTc10State>(p.reader, status, state), kSuccess);
        EXPECT_EQ(status, ServiceStatus::UnspecifiedError);
        EXPECT_EQ(state, 0);
    }
    {
        Parsed p{ok_error};
        bool loopback = true;
        ASSERT_EQ(decode_response<Command::InterfaceGetLoopback>(p.reader, loopback), kSuccess);
        EXPECT_FALSE(loopback);
    }
}

TEST(StartingValues, device_status_fields_are_2_and_chunk_result_0) {
    for (const Command c : {Command::DeviceSetNickname, Command::IdentifyDevice, Command::UpdateFirmwareFinalize,
                            Command::InterfaceSetNickname, Command::IdentifyInterface, Command::SetEthInterfaceMode,
                            Command::InterfaceSendTc10Command}) {
        ASSERT_EQ(command_info(c).response.size(), 1u);
        EXPECT_EQ(command_info(c).response[0].kind, FieldKind::Status) << request_code(c);
        EXPECT_EQ(command_info(c).response[0].initial, 2u) << request_code(c);
    }
    Parsed p{hex("AD BA 02 00 00 00")};
    uint16_t result = 9;
    ASSERT_EQ(decode_response<Command::UpdateFirmwareSendChunk>(p.reader, result), kSuccess);
    EXPECT_EQ(result, 0);
}

// ---- argument checks ----

struct ArgumentCase {
    const char* name;
    Command command;
    uint64_t number;
    size_t bytes;
    Status status;
};

class ArgumentChecks : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentChecks, refuse_values_without_wire_coding) {
    const ArgumentCase& c = GetParam();
    const Layout& layout = command_info(c.command).request;
    Bytes blob(c.bytes, 0x5A);
    // The number goes into the last numeric field (the one under test), the
    // other fields stay 0.
    std::vector<FieldValue> values(layout.size());
    FieldValue* numeric = nullptr;
    for (size_t i = 0; i < layout.size(); ++i) {
        if (layout[i].kind == FieldKind::Bytes)
            values[i].bytes = blob;
        else
            numeric = &values[i];
    }
    ASSERT_NE(numeric, nullptr);
    numeric->number = c.number;
    Built p;
    EXPECT_EQ(encode_request_values(p.writer, c.command, values), c.status);
    if (c.status != kSuccess) {
        EXPECT_EQ(p.buffer[0], 0xEE) << "refused before anything is written";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, ArgumentChecks,
    testing::Values(
        ArgumentCase{"image_size_fits_u32", Command::UpdateFirmwareStart, 0xFFFFFFFF, 0, kSuccess},
        ArgumentCase{"image_size_above_u32", Command::UpdateFirmwareStart, 0x100000000, 0, kValueOutOfBounds},
        ArgumentCase{"chunk_index_65535", Command::UpdateFirmwareSendChunk, 65535, 4, kSuccess},
        ArgumentCase{"chunk_index_65536", Command::UpdateFirmwareSendChunk, 65536, 4, kValueOutOfBounds},
        ArgumentCase{"chunk_length_65536", Command::UpdateFirmwareSendChunk, 0, 65536, kValueOutOfBounds},
        ArgumentCase{"reboot_fits_u32", Command::RebootDevice, 0xFFFFFFFF, 0, kSuccess},
        ArgumentCase{"reboot_above_u32_is_protocol_error", Command::RebootDevice, 0x100000000, 0, kProtocolError},
        ArgumentCase{"voltage_channel_3", Command::ReadVoltages, 3, 0, kSuccess},
        ArgumentCase{"voltage_channel_4_has_no_coding", Command::ReadVoltages, 4, 0, kConversionError},
        ArgumentCase{"mode_bits_65536", Command::SetEthInterfaceMode, 65536, 0, kValueOutOfBounds},
        ArgumentCase{"u8_argument_256", Command::SetLedTestMode, 256, 0, kValueOutOfBounds}),
    [](const auto& info) { return std::string{info.param.name}; });

TEST(GenericCodec, refuses_commands_without_codec_wrong_arity_and_missing_text_field) {
    Built out;
    PacketReader in;
    EXPECT_EQ(encode_request_values(out.writer, Command::GetFirmwareVersionIntRemoved, {}), kUnknownCommand);
    EXPECT_EQ(decode_response_values(in, Command::GetManufacturingDateString, {}), kUnknownCommand);
    EXPECT_EQ(encode_request_values(out.writer, Command::DeviceGetName, std::vector<FieldValue>(1)), kInvalidPointer);
    EXPECT_EQ(decode_response_values(in, Command::DeviceGetName, {}), kInvalidPointer);
    Parsed p{hex("04 00 05 00 03 00 61 62 63")};
    std::vector<FieldValue> no_text_field(1);
    EXPECT_EQ(decode_response_values(p.reader, Command::DeviceGetName, no_text_field), kInvalidPointer);
}

TEST(GenericCodec, error_response_encoding) {
    Built p;
    ASSERT_EQ(encode_error_response(p.writer, ServiceStatus::NotSupportedByDevice), kSuccess);
    EXPECT_EQ(p.bytes(), hex("AD BA 02 00 05 00"));
}

// ---- typed entry points, device side ----

TEST(TypedCodec, device_side_builds_responses_the_client_reads) {
    Built response;
    ASSERT_EQ(encode_response<Command::GetInterfaceStatus>(response.writer, uint8_t{0}, uint8_t{0}, uint16_t{0x0282},
                                                           uint8_t{1}),
              kSuccess);
    EXPECT_EQ(test::to_hex(response.bytes()), "14 00 05 00 00 00 82 02 01");

    Parsed request{hex("11 00 06 00 02 00 02 00 68 69")};
    uint16_t index = 0;
    std::array<char, 16> nickname{};
    ASSERT_EQ(decode_request<Command::InterfaceSetNickname>(request.reader, index, nickname), kSuccess);
    EXPECT_EQ(index, 2);
    EXPECT_STREQ(nickname.data(), "hi");
    Parsed other{hex("13 00 02 00 00 00")};
    EXPECT_EQ(decode_request<Command::InterfaceSetNickname>(other.reader, index, nickname), kProtocolError);
}

}  // namespace
}  // namespace tq::proto
