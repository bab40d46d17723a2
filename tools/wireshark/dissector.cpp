#include "wireshark/dissector.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/commands.hpp"
#include "protocol/types.hpp"
#include "protocol/wire_values.hpp"

namespace tq::wireshark {

// The hand-written part, embedded by the build (dissector_body.cpp).
extern const std::string_view kBody;

namespace {

using proto::FieldKind;
using proto::Meaning;

std::string_view kind_name(FieldKind k) {
    switch (k) {
        case FieldKind::U8:
            return "u8";
        case FieldKind::U16:
            return "u16";
        case FieldKind::U32:
            return "u32";
        case FieldKind::U64:
            return "u64";
        case FieldKind::Bool:
            return "bool";
        case FieldKind::Text:
            return "text";
        case FieldKind::Bytes:
            return "bytes";
        case FieldKind::Status:
            return "status";
    }
    return "?";
}

struct MeaningRow {
    Meaning meaning;
    std::string_view name;
};
constexpr MeaningRow kMeanings[] = {
    {Meaning::Plain, "plain"},
    {Meaning::ServiceStatus, "service_status"},
    {Meaning::Ean, "ean"},
    {Meaning::Seconds, "seconds"},
    {Meaning::ModeBits, "mode_bits"},
    {Meaning::InterfaceType, "interface_type"},
    {Meaning::LinkState, "link_state"},
    {Meaning::Tc10Command, "tc10_command"},
    {Meaning::Tc10State, "tc10_state"},
    {Meaning::HarnessStatus, "harness_status"},
    {Meaning::PgPayloadSize, "pg_payload_size"},
    {Meaning::PgPayloadType, "pg_payload_type"},
    {Meaning::PgPacketValidity, "pg_packet_validity"},
};

std::string_view meaning_name(Meaning m) {
    for (const auto& row : kMeanings)
        if (row.meaning == m) return row.name;
    return "plain";
}

// What the client makes of one byte-sized wire value: the member's name, or
// the text of the conversion failure that refuses it. Nothing for values
// that name nothing but are not refused (the device side's codings).
struct Reading {
    std::optional<std::string> name;
    std::optional<std::string> refused;
};

template <class T>
Reading read_with(const wire::Converted<T>& r, auto member) {
    if (r) return {std::string(enum_name(member(*r))), std::nullopt};
    return {std::nullopt, r.error().text};
}

Reading read_byte(Meaning m, uint8_t v) {
    constexpr uint16_t kAnySpeed = wire::mode::k10Mbit | wire::mode::kFullDuplex;
    switch (m) {
        case Meaning::InterfaceType:
            return read_with(wire::interface_status_from_wire(v, 0, kAnySpeed, 0),
                             [](const InterfaceStatus& s) { return s.interface_type; });
        case Meaning::LinkState:
            return read_with(wire::interface_status_from_wire(0, 0, kAnySpeed, v),
                             [](const InterfaceStatus& s) { return s.eth_interface_status.link_state; });
        case Meaning::Tc10State:
            return read_with(wire::tc10_state_from_wire(v), [](Tc10State s) { return s; });
        case Meaning::HarnessStatus:
            return read_with(wire::cable_test_from_wire(v, 0),
                             [](const CableTestResult& r) { return r.harness_status; });
        case Meaning::PgPayloadSize:
            return read_with(wire::pg_config_from_wire(v, 0, 0, 0, true),
                             [](const PacketGeneratorConfig& c) { return c.payload_size; });
        case Meaning::PgPayloadType:
            return read_with(wire::pg_config_from_wire(0, v, 0, 0, true),
                             [](const PacketGeneratorConfig& c) { return c.payload_type; });
        case Meaning::PgPacketValidity:
            return read_with(wire::pg_config_from_wire(0, 0, v, 0, true),
                             [](const PacketGeneratorConfig& c) { return c.validity; });
        case Meaning::Tc10Command:
            // Sent, never read: the wire value of each command.
            for (size_t i = 0; i < EnumInfo<Tc10Command>::members.size(); ++i) {
                const auto command = static_cast<Tc10Command>(i);
                if (wire::tc10_command_to_wire(command) == v) return {std::string(enum_name(command)), {}};
            }
            return {};
        default:
            return {};
    }
}

std::string lua_string(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Consecutive values with the same text, as {first, last, text} runs.
std::string runs(const std::vector<std::optional<std::string>>& texts) {
    std::string out = "{";
    for (size_t v = 0; v < texts.size();) {
        size_t end = v;
        while (end + 1 < texts.size() && texts[end + 1] == texts[v]) ++end;
        if (texts[v]) out += "{" + std::to_string(v) + ", " + std::to_string(end) + ", " + lua_string(*texts[v]) + "}, ";
        v = end + 1;
    }
    return out + "}";
}

std::string layout_lua(const proto::Layout& layout) {
    std::string out = "{";
    for (const auto& f : layout.span()) {
        out += "{" + lua_string(f.name) + ", " + lua_string(kind_name(f.kind)) + ", " +
               lua_string(meaning_name(f.meaning)) + "}, ";
    }
    return out + "}";
}

}  // namespace

std::string dissector_lua() {
    std::string out =
        "-- plenko-tq command protocol, for Wireshark and tshark. Written by the build from the\n"
        "-- protocol library's command table; regenerate rather than edit.\n"
        "-- Load: copy into Wireshark's personal Lua plugins folder (plenko-tq wireshark --install),\n"
        "-- or run tshark -X lua_script:" +
        std::string(kFileName) + ".\n\n";
    out += "local SERVICE_TYPE = " + lua_string("_px-command-api._tcp") + "\n";
    out += "local ERROR_RESPONSE = " + std::to_string(proto::kErrorResponse) + "\n";
    out += "local VERSION_QUERY = " + std::to_string(proto::request_code(proto::Command::GetVersion)) + "\n";
    out += "local CLIENT_BUFFER = " + std::to_string(proto::kBufferSize) + "\n";
    out += "local MAX_TEXT_LEN = " + std::to_string(proto::kTextFieldCapacity - 1) + "\n\n";

    out += "local commands = {\n";
    for (const auto& c : proto::kCommands) {
        out += "    [" + std::to_string(proto::request_code(c.command)) + "] = {name = " + lua_string(c.name) +
               ", since = " + std::to_string(c.since) + ", codec = " + (c.has_codec ? "true" : "false") +
               ",\n        request = " + layout_lua(c.request) + ",\n        response = " + layout_lua(c.response) +
               "},\n";
    }
    out += "}\n\n";

    // Every field name once, in table order.
    out += "local FIELDS = {\n";
    std::vector<std::string_view> listed;
    for (const auto& c : proto::kCommands) {
        for (const proto::Layout* l : {&c.request, &c.response}) {
            for (const auto& f : l->span()) {
                bool seen = false;
                for (auto n : listed) seen = seen || n == f.name;
                if (seen) continue;
                listed.push_back(f.name);
                out += "    {" + lua_string(f.name) + ", " + lua_string(kind_name(f.kind)) + ", " +
                       lua_string(meaning_name(f.meaning)) + "},\n";
            }
        }
    }
    out += "}\n\n";

    out += "local SERVICE_STATUS_NAMES = {\n";
    for (unsigned v = 0; v <= static_cast<unsigned>(ServiceStatus::Max); ++v)
        out += "    [" + std::to_string(v) + "] = " + lua_string(proto::service_status_name(ServiceStatus(v))) + ",\n";
    out += "}\n\n";

    out += "local MODE_BITS = {\n";
    for (const auto& bit : wire::mode::kBits)
        out += "    {" + std::to_string(bit.mask) + ", " + lua_string(bit.name) + "},\n";
    out += "}\n\n";

    std::string names = "local VALUE_NAMES = {\n", refused = "local REFUSED_VALUES = {\n";
    for (const auto& row : kMeanings) {
        std::vector<std::optional<std::string>> named(256), refusal(256);
        bool any = false;
        for (unsigned v = 0; v < 256; ++v) {
            Reading r = read_byte(row.meaning, static_cast<uint8_t>(v));
            any = any || r.name || r.refused;
            named[v] = std::move(r.name);
            refusal[v] = std::move(r.refused);
        }
        if (!any) continue;
        names += "    " + std::string(row.name) + " = " + runs(named) + ",\n";
        refused += "    " + std::string(row.name) + " = " + runs(refusal) + ",\n";
    }
    out += names + "}\n\n" + refused + "}\n\n";
    out += kBody;
    return out;
}

}  // namespace tq::wireshark
