#include "protocol/commands.hpp"

#include <algorithm>

namespace tq::proto {
namespace {

Status append_field(PacketWriter& p, const FieldSpec& spec, const FieldValue& v) {
    switch (spec.kind) {
        case FieldKind::U8:
            return p.append_u8(static_cast<uint8_t>(v.number));
        case FieldKind::U16:
        case FieldKind::Status:
            return p.append_u16(static_cast<uint16_t>(v.number));
        case FieldKind::U32:
            return p.append_u32(static_cast<uint32_t>(v.number));
        case FieldKind::U64:
            return p.append_u64(v.number);
        case FieldKind::Bool:
            // The range check keeps a request's bool at 0 or 1.
            return p.append_u8(static_cast<uint8_t>(v.number));
        case FieldKind::Text:
            return p.append_text({reinterpret_cast<const char*>(v.bytes.data()), v.bytes.size()});
        case FieldKind::Bytes:
            return p.append_sized_bytes(v.bytes);
    }
    return kInvalidPointer;
}

// Range checks first, so a refused argument writes nothing.
Status encode_fields(PacketWriter& p, uint16_t code, const Layout& layout, std::span<const FieldValue> values,
                     bool check_ranges) {
    if (values.size() != layout.size()) return kInvalidPointer;
    for (size_t i = 0; check_ranges && i < layout.size(); ++i) {
        const FieldSpec& spec = layout[i];
        const FieldValue& v = values[i];
        if (spec.kind == FieldKind::Text) continue;
        const uint64_t size = spec.kind == FieldKind::Bytes ? v.bytes.size() : v.number;
        if (size > spec.max) return spec.out_of_range;
    }
    if (const Status s = p.start(code)) return s;
    for (size_t i = 0; i < layout.size(); ++i)
        if (const Status s = append_field(p, layout[i], values[i])) return s;
    return kSuccess;
}

void reset_outputs(const Layout& layout, std::span<FieldValue> out) {
    for (size_t i = 0; i < layout.size(); ++i) {
        out[i].number = layout[i].initial;
        out[i].bytes = {};
        std::fill(out[i].text_field.begin(), out[i].text_field.end(), '\0');
    }
}

Status take_field(PacketReader& p, const FieldSpec& spec, FieldValue& out) {
    Status s = kSuccess;
    switch (spec.kind) {
        case FieldKind::U8: {
            uint8_t v = 0;
            s = p.take_u8(v);
            out.number = v;
            break;
        }
        case FieldKind::U16:
        case FieldKind::Status: {
            uint16_t v = 0;
            s = p.take_u16(v);
            out.number = v;
            break;
        }
        case FieldKind::U32: {
            uint32_t v = 0;
            s = p.take_u32(v);
            out.number = v;
            break;
        }
        case FieldKind::U64:
            return p.take_u64(out.number);
        case FieldKind::Bool: {
            bool v = false;
            s = p.take_bool(v);
            out.number = v ? 1 : 0;
            break;
        }
        case FieldKind::Text:
            return p.take_text(out.text_field.data(), out.text_field.size());
        case FieldKind::Bytes:
            return p.take_sized_bytes(out.bytes);
    }
    return s;
}

// A failure anywhere discards what the earlier fields delivered.
Status take_fields(PacketReader& p, const Layout& layout, std::span<FieldValue> out) {
    for (size_t i = 0; i < layout.size(); ++i) {
        if (const Status s = take_field(p, layout[i], out[i])) {
            reset_outputs(layout, out);
            return s;
        }
    }
    return kSuccess;
}

const CommandInfo* codec_entry(Command command) {
    const CommandInfo* info = find_command(request_code(command));
    return info && info->has_codec ? info : nullptr;
}

}  // namespace

Status version_gate(uint32_t version, Command command) noexcept {
    const uint8_t since = command_info(command).since;
    if (since == kAlways) return kSuccess;
    if (version == 0) return kNotImplemented;
    if (version > 2) return kUnfamiliarProtocolVersion;
    return version < since ? kNotImplemented : kSuccess;
}

Status encode_request_values(PacketWriter& packet, Command command, std::span<const FieldValue> values) noexcept {
    const CommandInfo* info = codec_entry(command);
    if (!info) return kUnknownCommand;
    return encode_fields(packet, request_code(command), info->request, values, true);
}

Status decode_response_values(PacketReader& packet, Command command, std::span<FieldValue> outputs) noexcept {
    const CommandInfo* info = codec_entry(command);
    if (!info) return kUnknownCommand;
    if (outputs.size() != info->response.size()) return kInvalidPointer;
    reset_outputs(info->response, outputs);
    // The version query has no error-response step: its decoder must work
    // before the version is known and treats any other code alike.
    if (info->since != kAlways && packet.command() == kErrorResponse) {
        uint16_t service = 0;
        if (const Status s = packet.take_u16(service)) return s;
        return translate_service_status(ServiceStatus{service});
    }
    if (packet.command() != response_code(command)) return kProtocolError;
    return take_fields(packet, info->response, outputs);
}

Status encode_response_values(PacketWriter& packet, Command command, std::span<const FieldValue> values) noexcept {
    const CommandInfo* info = codec_entry(command);
    if (!info) return kUnknownCommand;
    return encode_fields(packet, response_code(command), info->response, values, false);
}

Status decode_request_values(PacketReader& packet, Command command, std::span<FieldValue> outputs) noexcept {
    const CommandInfo* info = codec_entry(command);
    if (!info) return kUnknownCommand;
    if (outputs.size() != info->request.size()) return kInvalidPointer;
    reset_outputs(info->request, outputs);
    if (packet.command() != request_code(command)) return kProtocolError;
    return take_fields(packet, info->request, outputs);
}

Status encode_error_response(PacketWriter& packet, ServiceStatus status) noexcept {
    if (const Status s = packet.start(kErrorResponse)) return s;
    return packet.append_u16(static_cast<uint16_t>(status));
}

}  // namespace tq::proto
