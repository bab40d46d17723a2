// Every command of the protocol in one table (code, since-version, request
// and response layout), and the generic code that encodes and decodes any of
// them from it, straight into and out of the caller's buffer. Each command is
// called by its own name through the typed entry points:
//
//     encode_request<Command::DeviceGetName>(writer);
//     decode_response<Command::DeviceGetName>(reader, name_field);
//
// whose argument and output types are checked against the table at compile
// time. The device side (the simulator) uses encode_response/decode_request.
// Whether a command may be sent at all is version_gate's to say, once, before
// anything is encoded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "protocol/packet.hpp"

namespace tq::proto {

// Request codes; a response's code is its request's plus one.
enum class Command : uint16_t {
    GetVersion = 1,
    DeviceGetName = 3,
    DeviceSetNickname = 5,
    IdentifyDevice = 7,
    GetFirmwareEan = 9,
    GetFeatureEan = 11,
    GetNumInterfaces = 13,
    InterfaceGetNickname = 15,
    InterfaceSetNickname = 17,
    GetInterfaceStatus = 19,
    IdentifyInterface = 21,
    GetSupportedEthInterfaceModes = 23,
    SetEthInterfaceMode = 25,
    GetEthInterfaceMode = 27,
    GetSerialNumber = 29,
    GetFirmwareVersionIntRemoved = 31,  // no codec
    GetFirmwareVersion = 33,
    GetManufacturingDateString = 35,  // no codec
    GetBootloaderVersion = 37,
    GetEan = 39,
    GetPcbRevision = 41,
    SetLedTestMode = 43,
    ClearLedTestMode = 45,
    RebootDevice = 47,
    UpdateFirmwareStart = 49,
    UpdateFirmwareSendChunk = 51,
    UpdateFirmwareFinalize = 53,
    ReadVoltages = 55,
    SetUsbPowerOut = 57,
    SetUsbPowerIn = 59,
    SetSerialNumber = 61,
    GetBrandEan = 63,
    SetBrandEan = 65,
    SetProductEan = 67,
    GetManufacturingDate = 69,
    SetManufacturingDate = 71,
    SetPcbRevision = 73,
    FactoryReset = 75,
    InterfaceSendTc10Command = 77,
    InterfaceGetTc10State = 79,
    DeviceGetNickname = 81,
    InterfaceReadDcq = 83,
    InterfaceRunCableTest = 85,
    InterfaceSetLoopback = 87,
    InterfaceGetLoopback = 89,
    InterfaceSetPacketGenerator = 91,
    InterfaceGetPacketGenerator = 93,
    Unnamed95 = 95,
    Unnamed97 = 97,
};

constexpr uint16_t request_code(Command c) {
    return static_cast<uint16_t>(c);
}
constexpr uint16_t response_code(Command c) {
    return static_cast<uint16_t>(request_code(c) + 1);
}

// Status is a service status: a u16 like any other, listed apart because its
// starting value is 2 (unspecified error), not 0.
enum class FieldKind : uint8_t { U8, U16, U32, U64, Bool, Text, Bytes, Status };

constexpr uint64_t field_max(FieldKind k) {
    switch (k) {
        case FieldKind::U8:
            return 0xFF;
        case FieldKind::Bool:
            return 1;
        case FieldKind::U32:
            return 0xFFFFFFFF;
        case FieldKind::U64:
            return UINT64_MAX;
        default:
            return 0xFFFF;  // u16, status, and the count of texts and byte strings
    }
}

// What a field's number stands for beyond its kind: the coding its wire
// values have (wire_values.hpp converts them). Shown by the trace dissector.
enum class Meaning : uint8_t {
    Plain,
    ServiceStatus,
    Ean,       // hexadecimal digits are the decimal digits
    Seconds,   // since 1970-01-01 00:00:00 UTC
    ModeBits,  // speed, duplex, role and auto-negotiation bits
    InterfaceType,
    LinkState,
    Tc10Command,
    Tc10State,
    HarnessStatus,
    PgPayloadSize,
    PgPayloadType,
    PgPacketValidity,
};

struct FieldSpec {
    FieldKind kind = FieldKind::U8;
    // Decoders: the output's value before decoding, which is also what an
    // error response carrying service status 0 leaves behind.
    uint64_t initial = 0;
    // Encoders: the largest argument accepted (for Bytes, the largest length)
    // and the status that refuses a larger one.
    uint64_t max = 0;
    Status out_of_range = kValueOutOfBounds;
    // The interface index that opens every request addressed to one port.
    bool interface_index = false;
    // The field's name (lower case, words joined by '_'); one name has one
    // kind and meaning across the table.
    std::string_view name{};
    Meaning meaning = Meaning::Plain;

    // This field under a name, and with a meaning.
    constexpr FieldSpec operator()(std::string_view n) const {
        FieldSpec f = *this;
        f.name = n;
        return f;
    }
    constexpr FieldSpec as(Meaning m) const {
        FieldSpec f = *this;
        f.meaning = m;
        return f;
    }
};

constexpr FieldSpec field(FieldKind k, uint64_t initial = 0) {
    return {k, initial, field_max(k), kValueOutOfBounds};
}
constexpr FieldSpec limited(FieldKind k, uint64_t max, Status out_of_range) {
    return {k, 0, max, out_of_range};
}

inline constexpr size_t kMaxFields = 6;

struct Layout {
    std::array<FieldSpec, kMaxFields> fields{};
    size_t count = 0;

    constexpr Layout() = default;
    constexpr Layout(std::initializer_list<FieldSpec> list) {
        for (const FieldSpec& f : list) fields[count++] = f;
    }
    constexpr size_t size() const { return count; }
    constexpr const FieldSpec& operator[](size_t i) const { return fields[i]; }
    constexpr std::span<const FieldSpec> span() const { return {fields.data(), count}; }
};

// Since-version of the version query, which is never dispatched.
inline constexpr uint8_t kAlways = 0;

struct CommandInfo {
    Command command;
    // The command's name (lower case, words joined by '_'), as the simulator's
    // fault specs and the trace dissector spell it.
    std::string_view name;
    uint8_t since = 1;
    bool has_codec = true;
    Layout request;
    Layout response;
};

namespace layout {
using K = FieldKind;
using M = Meaning;
inline constexpr FieldSpec u8 = field(K::U8), u16 = field(K::U16), u32 = field(K::U32), u64 = field(K::U64),
                           boolean = field(K::Bool), text = field(K::Text), bytes = field(K::Bytes),
                           status = field(K::Status, static_cast<uint64_t>(ServiceStatus::UnspecifiedError))(
                                        "status")
                                        .as(M::ServiceStatus);
inline constexpr FieldSpec index = FieldSpec{K::U16, 0, 0xFFFF, kValueOutOfBounds, true}("interface_index");
// A service status the client takes but does not act on: a u16 to it.
inline constexpr FieldSpec unexamined_status =
    field(K::U16, static_cast<uint64_t>(ServiceStatus::UnspecifiedError))("status").as(M::ServiceStatus);
inline constexpr FieldSpec mode_bits = u16("mode_bits").as(M::ModeBits), ean = u64.as(M::Ean),
                           result = u16("result");
// Fields whose starting value is not 0: they decode to a failure (or to the
// generator's off record) when an error response with status 0 leaves them.
inline constexpr FieldSpec if_type = field(K::U8, 2)("interface_type").as(M::InterfaceType),
                           mode_bits_unset = field(K::U16, 0xFFFF)("mode_bits").as(M::ModeBits),
                           link_unset = field(K::U8, 0xFF)("link_state").as(M::LinkState),
                           pg_type = field(K::U8, 1)("payload_type").as(M::PgPayloadType);
inline constexpr FieldSpec pg_size = u8("payload_size").as(M::PgPayloadSize),
                           pg_validity = u8("packet_validity").as(M::PgPacketValidity), burst = u8("burst_size"),
                           enabled = boolean("enabled");
}  // namespace layout

// Indexed by (request code - 1) / 2: every odd code from 1 to 97.
inline constexpr auto kCommands = [] {
    using namespace layout;
    using C = Command;
    return std::to_array<CommandInfo>({
        {C::GetVersion, "get_version", kAlways, true, {}, {u16("version")}},
        {C::DeviceGetName, "get_name", 1, true, {}, {text("name")}},
        {C::DeviceSetNickname, "set_nickname", 2, true, {text("nickname")}, {status}},
        {C::IdentifyDevice, "identify", 1, true, {}, {status}},
        {C::GetFirmwareEan, "get_firmware_ean", 1, true, {}, {ean("firmware_ean")}},
        {C::GetFeatureEan, "get_feature_ean", 1, true, {}, {ean("feature_ean")}},
        {C::GetNumInterfaces, "get_num_interfaces", 1, true, {}, {u16("interface_count")}},
        {C::InterfaceGetNickname, "interface_get_nickname", 1, true, {index}, {text("nickname")}},
        {C::InterfaceSetNickname, "interface_set_nickname", 1, true, {index, text("nickname")}, {status}},
        // type, one ignored byte, mode bits, link state
        {C::GetInterfaceStatus, "get_interface_status", 1, true, {index},
         {if_type, u8("reserved"), mode_bits_unset, link_unset}},
        {C::IdentifyInterface, "identify_interface", 1, true, {index}, {status}},
        {C::GetSupportedEthInterfaceModes, "get_supported_eth_interface_modes", 1, true, {index},
         {status, mode_bits}},
        {C::SetEthInterfaceMode, "set_eth_interface_mode", 1, true, {index, mode_bits}, {status}},
        // the mode bits count whatever the status says
        {C::GetEthInterfaceMode, "get_eth_interface_mode", 1, true, {index}, {unexamined_status, mode_bits_unset}},
        {C::GetSerialNumber, "get_serial_number", 1, true, {}, {u64("serial_number")}},
        {C::GetFirmwareVersionIntRemoved, "get_firmware_version_int_removed", 1, false, {}, {}},
        {C::GetFirmwareVersion, "get_firmware_version", 1, true, {}, {text("firmware_version")}},
        {C::GetManufacturingDateString, "get_manufacturing_date_string", 1, false, {}, {}},
        {C::GetBootloaderVersion, "get_bootloader_version", 1, true, {}, {text("bootloader_version")}},
        {C::GetEan, "get_ean", 1, true, {}, {ean("ean")}},
        {C::GetPcbRevision, "get_pcb_revision", 1, true, {}, {text("pcb_revision")}},
        {C::SetLedTestMode, "set_led_test_mode", 1, true, {u8("led_test_mode")}, {result}},
        {C::ClearLedTestMode, "clear_led_test_mode", 1, true, {}, {result}},
        {C::RebootDevice, "reboot_device", 1, true, {limited(K::U32, 0xFFFFFFFF, kProtocolError)("argument")},
         {result}},
        // a byte that is always 0, then the image size
        {C::UpdateFirmwareStart, "update_firmware_start", 1, true, {u8("reserved"), u32("image_size")},
         {u16("chunk_size")}},
        // chunk index, chunk; the reply is a plain result, 0 = accepted
        {C::UpdateFirmwareSendChunk, "update_firmware_send_chunk", 1, true, {u16("chunk_index"), bytes("chunk")},
         {result}},
        {C::UpdateFirmwareFinalize, "update_firmware_finalize", 1, true, {}, {status}},
        {C::ReadVoltages, "read_voltages", 1, true, {limited(K::U8, 3, kConversionError)("channel")},
         {result, u32("reading")}},
        {C::SetUsbPowerOut, "set_usb_power_out", 1, true, {u8("usb_power")}, {result}},
        {C::SetUsbPowerIn, "set_usb_power_in", 1, true, {u8("usb_power")}, {result}},
        {C::SetSerialNumber, "set_serial_number", 1, true, {u64("serial_number")}, {result}},
        {C::GetBrandEan, "get_brand_ean", 1, true, {}, {ean("brand_ean")}},
        {C::SetBrandEan, "set_brand_ean", 1, true, {ean("brand_ean")}, {result}},
        {C::SetProductEan, "set_product_ean", 1, true, {ean("product_ean")}, {result}},
        {C::GetManufacturingDate, "get_manufacturing_date", 1, true, {}, {u64("manufacturing_date").as(M::Seconds)}},
        {C::SetManufacturingDate, "set_manufacturing_date", 1, true, {u64("manufacturing_date").as(M::Seconds)},
         {result}},
        {C::SetPcbRevision, "set_pcb_revision", 1, true, {text("pcb_revision")}, {result}},
        {C::FactoryReset, "factory_reset", 1, true, {}, {result}},
        {C::InterfaceSendTc10Command, "send_tc10_command", 2, true, {index, u8("tc10_command").as(M::Tc10Command)},
         {status}},
        {C::InterfaceGetTc10State, "get_tc10_state", 2, true, {index}, {status, u8("tc10_state").as(M::Tc10State)}},
        {C::DeviceGetNickname, "get_nickname", 2, true, {}, {text("nickname")}},
        {C::InterfaceReadDcq, "read_dcq", 2, true, {index},
         {u8("sqi"), u8("sqi_worst"), u8("peak_mse"), u8("peak_mse_worst"), u16("mse"), u16("mse_worst")}},
        {C::InterfaceRunCableTest, "run_cable_test", 2, true, {index},
         {u8("harness_status").as(M::HarnessStatus), u8("distance_to_fault")}},
        {C::InterfaceSetLoopback, "set_loopback", 2, true, {index, boolean("loopback")}, {}},
        {C::InterfaceGetLoopback, "get_loopback", 2, true, {index}, {boolean("loopback")}},
        {C::InterfaceSetPacketGenerator, "set_packet_generator", 2, true,
         {index, pg_size, pg_type, pg_validity, burst, enabled}, {}},
        {C::InterfaceGetPacketGenerator, "get_packet_generator", 2, true, {index},
         {pg_size, pg_type, pg_validity, burst, enabled}},
        {C::Unnamed95, "unnamed_95", 2, true, {}, {u64("value")}},
        {C::Unnamed97, "unnamed_97", 2, true, {index}, {u64("value")}},
    });
}();

constexpr bool commands_in_code_order() {
    for (size_t i = 0; i < kCommands.size(); ++i)
        if (request_code(kCommands[i].command) != 2 * i + 1) return false;
    return true;
}
static_assert(commands_in_code_order(), "kCommands must list every odd request code in order");

// Every field is named, and a name means one thing wherever it appears: one
// wire kind (a service status is a u16), one meaning. Command names are unique.
constexpr bool same_wire_kind(FieldKind a, FieldKind b) {
    auto wire = [](FieldKind k) { return k == FieldKind::Status ? FieldKind::U16 : k; };
    return wire(a) == wire(b);
}
constexpr bool names_consistent() {
    std::array<FieldSpec, 2 * kMaxFields * kCommands.size()> seen{};
    size_t n = 0;
    for (size_t c = 0; c < kCommands.size(); ++c) {
        if (kCommands[c].name.empty()) return false;
        for (size_t d = 0; d < c; ++d)
            if (kCommands[d].name == kCommands[c].name) return false;
        for (const Layout* l : {&kCommands[c].request, &kCommands[c].response}) {
            for (const FieldSpec& f : l->span()) {
                if (f.name.empty()) return false;
                for (size_t i = 0; i < n; ++i)
                    if (seen[i].name == f.name && (!same_wire_kind(seen[i].kind, f.kind) || seen[i].meaning != f.meaning))
                        return false;
                seen[n++] = f;
            }
        }
    }
    return true;
}
static_assert(names_consistent(), "every field needs a name, one kind and meaning per name; command names unique");

// The entry of a request code, or nullptr for codes the table does not know
// (even codes, 0, above 97).
constexpr const CommandInfo* find_command(uint16_t request) {
    if (request % 2 == 0 || request > request_code(kCommands.back().command)) return nullptr;
    return &kCommands[(request - 1) / 2];
}
constexpr const CommandInfo& command_info(Command c) {
    return *find_command(request_code(c));
}

// Requests that address one port start with its index.
constexpr bool addresses_interface(const CommandInfo& c) {
    return c.request.size() > 0 && c.request[0].interface_index;
}

// The version gate, 0 when `command` may be sent to a device that speaks
// protocol `version`. Version 0 (before the handshake) admits only the version
// query and a version-2 command is not in version 1 (both kNotImplemented);
// versions above 2 are kUnfamiliarProtocolVersion for all but the version query.
Status version_gate(uint32_t version, Command command) noexcept;

// ---- generic codec ----

// One field as the generic codec sees it. Numbers (including bool and
// status) travel in `number`; texts and byte strings to encode in `bytes`;
// a decoded text goes into `text_field` (NUL-terminated; with no field the
// decode fails with 2); a decoded byte string is a view into the packet.
struct FieldValue {
    uint64_t number = 0;
    std::span<const uint8_t> bytes{};
    std::span<char> text_field{};

    static FieldValue of_text(std::string_view t) {
        return {0, {reinterpret_cast<const uint8_t*>(t.data()), t.size()}, {}};
    }
};

// The request's fields in order, after the range checks of every field, so
// a refused argument writes nothing. 11 for a code without a codec, 2 when
// `values` does not match the layout.
Status encode_request_values(PacketWriter& packet, Command command, std::span<const FieldValue> values) noexcept;
// Sets the outputs to their starting values, runs the response code check
// (error response -> translated service status, except for the version
// query; another code -> 9), then takes the fields. On failure the outputs
// are back at their starting values.
Status decode_response_values(PacketReader& packet, Command command, std::span<FieldValue> outputs) noexcept;
// Device side: no range checks, so a bool goes out as the byte given (a
// device may say "on" with any non-zero byte).
Status encode_response_values(PacketWriter& packet, Command command, std::span<const FieldValue> values) noexcept;
// Device side: 9 unless the packet carries the command's request code.
Status decode_request_values(PacketReader& packet, Command command, std::span<FieldValue> outputs) noexcept;
// The error response 0xBAAD carrying one service status.
Status encode_error_response(PacketWriter& packet, ServiceStatus status) noexcept;

// ---- typed entry points ----

namespace detail {

template <class T>
using Bare = std::remove_cvref_t<T>;

template <class T>
struct IsTextField : std::false_type {};
template <size_t N>
struct IsTextField<std::array<char, N>> : std::true_type {};
template <>
struct IsTextField<std::span<char>> : std::true_type {};

template <class T>
constexpr bool is_number_v = std::is_integral_v<T>&& std::is_unsigned_v<T> && !std::is_same_v<T, bool>;

// Who fills a layout with values of given types.
enum class Use : uint8_t {
    Arguments,        // a client's request
    DeviceArguments,  // a device's response: a bool may go out as the byte the device keeps
    Outputs,          // a decoder's outputs
};

// What an encoder argument of type T may fill.
template <class T>
constexpr bool accepts_argument(FieldKind k, Use use) {
    switch (k) {
        case FieldKind::Bool:
            return std::is_same_v<T, bool> || (use == Use::DeviceArguments && std::is_same_v<T, uint8_t>);
        case FieldKind::Status:
            return std::is_same_v<T, ServiceStatus>;
        case FieldKind::Text:
            return std::is_convertible_v<const T&, std::string_view>;
        case FieldKind::Bytes:
            return std::is_convertible_v<const T&, std::span<const uint8_t>>;
        default:
            return is_number_v<T>;
    }
}

// What a decoder output of type T must be; numbers exactly as wide as the field.
template <class T>
constexpr bool accepts_output(FieldKind k) {
    switch (k) {
        case FieldKind::U8:
            return std::is_same_v<T, uint8_t>;
        case FieldKind::U16:
            return std::is_same_v<T, uint16_t>;
        case FieldKind::Status:
            return std::is_same_v<T, ServiceStatus>;
        case FieldKind::U32:
            return std::is_same_v<T, uint32_t>;
        case FieldKind::U64:
            return std::is_same_v<T, uint64_t>;
        case FieldKind::Bool:
            return std::is_same_v<T, bool>;
        case FieldKind::Text:
            return IsTextField<T>::value;
        case FieldKind::Bytes:
            return std::is_same_v<T, std::span<const uint8_t>>;
    }
    return false;
}

template <Use U, class... T>
constexpr bool matches(const Layout& l) {
    if (sizeof...(T) != l.size()) return false;
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return ((U == Use::Outputs ? accepts_output<std::tuple_element_t<I, std::tuple<T...>>>(l[I].kind)
                                   : accepts_argument<std::tuple_element_t<I, std::tuple<T...>>>(l[I].kind, U)) &&
                ...);
    }
    (std::index_sequence_for<T...>{});
}

template <class T>
FieldValue argument(const T& v) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>)
        return FieldValue::of_text(std::string_view{v});
    else if constexpr (std::is_convertible_v<const T&, std::span<const uint8_t>>)
        return {0, std::span<const uint8_t>{v}, {}};
    else
        return {static_cast<uint64_t>(v), {}, {}};
}

template <class T>
FieldValue output_slot(T& out) {
    if constexpr (IsTextField<T>::value) return {0, {}, std::span<char>{out}};
    return {};
}

template <class T>
void store(T& out, const FieldValue& v) {
    if constexpr (std::is_same_v<T, bool>)
        out = v.number != 0;
    else if constexpr (is_number_v<T> || std::is_same_v<T, ServiceStatus>)
        out = static_cast<T>(v.number);
    else if constexpr (std::is_same_v<T, std::span<const uint8_t>>)
        out = v.bytes;
    // text fields were written in place
}

template <class... Outs, class Run>
Status decode_into(Run run, Outs&... outs) {
    std::array<FieldValue, sizeof...(Outs)> slots{output_slot(outs)...};
    const Status status = run(std::span<FieldValue>{slots});
    [[maybe_unused]] size_t i = 0;
    (store(outs, slots[i++]), ...);
    return status;
}

// The type a decoded field of kind K is held in.
template <FieldKind K>
struct FieldType;
template <>
struct FieldType<FieldKind::U8> : std::type_identity<uint8_t> {};
template <>
struct FieldType<FieldKind::U16> : std::type_identity<uint16_t> {};
template <>
struct FieldType<FieldKind::U32> : std::type_identity<uint32_t> {};
template <>
struct FieldType<FieldKind::U64> : std::type_identity<uint64_t> {};
template <>
struct FieldType<FieldKind::Bool> : std::type_identity<bool> {};
template <>
struct FieldType<FieldKind::Text> : std::type_identity<TextField> {};
template <>
struct FieldType<FieldKind::Bytes> : std::type_identity<std::span<const uint8_t>> {};
template <>
struct FieldType<FieldKind::Status> : std::type_identity<ServiceStatus> {};

constexpr const Layout& layout_of(Command c, bool response) {
    return response ? command_info(c).response : command_info(c).request;
}

template <Command C, bool Response>
auto fields_of() {
    return []<size_t... I>(std::index_sequence<I...>) {
        return std::tuple<typename FieldType<layout_of(C, Response)[I].kind>::type...>{};
    }
    (std::make_index_sequence<layout_of(C, Response).size()>{});
}

}  // namespace detail

// The decoded fields of a command's request and response, in order.
template <Command C>
using RequestFields = decltype(detail::fields_of<C, false>());
template <Command C>
using ResponseFields = decltype(detail::fields_of<C, true>());

template <Command C, class... Args>
Status encode_request(PacketWriter& packet, const Args&... args) {
    static_assert(command_info(C).has_codec, "command has no codec");
    static_assert(detail::matches<detail::Use::Arguments, detail::Bare<Args>...>(command_info(C).request),
                  "arguments do not match the request layout");
    const std::array<FieldValue, sizeof...(Args)> values{detail::argument(args)...};
    return encode_request_values(packet, C, values);
}

// Outputs always end at their starting values or the decoded ones.
template <Command C, class... Outs>
Status decode_response(PacketReader& packet, Outs&... outs) {
    static_assert(command_info(C).has_codec, "command has no codec");
    static_assert(detail::matches<detail::Use::Outputs, Outs...>(command_info(C).response),
                  "outputs do not match the response layout");
    return detail::decode_into([&](std::span<FieldValue> slots) { return decode_response_values(packet, C, slots); },
                               outs...);
}

template <Command C, class... Args>
Status encode_response(PacketWriter& packet, const Args&... args) {
    static_assert(command_info(C).has_codec, "command has no codec");
    static_assert(detail::matches<detail::Use::DeviceArguments, detail::Bare<Args>...>(command_info(C).response),
                  "arguments do not match the response layout");
    const std::array<FieldValue, sizeof...(Args)> values{detail::argument(args)...};
    return encode_response_values(packet, C, values);
}

template <Command C, class... Outs>
Status decode_request(PacketReader& packet, Outs&... outs) {
    static_assert(command_info(C).has_codec, "command has no codec");
    static_assert(detail::matches<detail::Use::Outputs, Outs...>(command_info(C).request),
                  "outputs do not match the request layout");
    return detail::decode_into([&](std::span<FieldValue> slots) { return decode_request_values(packet, C, slots); },
                               outs...);
}

}  // namespace tq::proto
