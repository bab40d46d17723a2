// The table-driven codec on arbitrary packets, for every command in both
// directions. Byte 0 picks the command, byte 1 the direction (its lowest bit);
// the rest is the packet. Whatever decodes must re-encode to a packet that
// decodes to the same values.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "protocol/commands.hpp"

using namespace tq::proto;

namespace {

struct Slots {
    std::vector<FieldValue> values;
    std::vector<std::array<char, kTextFieldCapacity>> texts;

    explicit Slots(const Layout& layout) : values(layout.size()), texts(layout.size()) {
        for (size_t i = 0; i < layout.size(); ++i)
            if (layout[i].kind == FieldKind::Text) values[i].text_field = texts[i];
    }

    // Decoded outputs as encoder arguments: texts up to their NUL.
    std::vector<FieldValue> as_arguments(const Layout& layout) const {
        std::vector<FieldValue> args(values.size());
        for (size_t i = 0; i < layout.size(); ++i) {
            if (layout[i].kind == FieldKind::Text) {
                args[i] = FieldValue::of_text(std::string_view{texts[i].data()});
            } else {
                args[i].number = values[i].number;
                args[i].bytes = values[i].bytes;
            }
        }
        return args;
    }

    bool same_as(const Slots& o, const Layout& layout) const {
        for (size_t i = 0; i < layout.size(); ++i) {
            const FieldValue &a = values[i], &b = o.values[i];
            if (layout[i].kind == FieldKind::Text) {
                if (std::strcmp(texts[i].data(), o.texts[i].data()) != 0) return false;
            } else if (a.number != b.number || !std::ranges::equal(a.bytes, b.bytes)) {
                return false;
            }
        }
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const CommandInfo& c = kCommands[data[0] % kCommands.size()];
    const bool response = data[1] & 1;
    PacketReader p;
    if (p.parse({data + 2, size - 2}) != kSuccess || !c.has_codec) return 0;

    const Layout& layout = response ? c.response : c.request;
    Slots out{layout};
    const Status s =
        response ? decode_response_values(p, c.command, out.values) : decode_request_values(p, c.command, out.values);
    FUZZ_CHECK(p.cursor() <= p.payload_len());
    if (s != kSuccess) {
        // Failed decodes leave the starting values behind.
        for (size_t i = 0; i < layout.size(); ++i)
            if (layout[i].kind != FieldKind::Text) FUZZ_CHECK(out.values[i].number == layout[i].initial);
        return 0;
    }
    if (response) {
        if (p.command() == kErrorResponse) return 0;  // nothing was read
        FUZZ_CHECK(p.command() == response_code(c.command));
    }
    for (size_t i = 0; i < layout.size(); ++i) FUZZ_CHECK(out.values[i].number <= field_max(layout[i].kind));

    // Re-encode what was decoded and decode it again.
    const std::vector<FieldValue> args = out.as_arguments(layout);
    std::vector<uint8_t> buffer(kHeaderLen + kMaxPayloadLen);
    PacketWriter again{buffer};
    const Status e =
        response ? encode_response_values(again, c.command, args) : encode_request_values(again, c.command, args);
    // A request may carry a value its encoder refuses (a voltage channel above
    // 3); the refusal must be the one the table names.
    for (size_t i = 0; i < layout.size(); ++i) {
        if (!response && layout[i].kind != FieldKind::Text && layout[i].kind != FieldKind::Bytes &&
            out.values[i].number > layout[i].max) {
            FUZZ_CHECK(e == layout[i].out_of_range);
            return 0;
        }
    }
    FUZZ_CHECK(e == kSuccess);
    FUZZ_CHECK(again.payload_len() <= p.payload_len());  // extra bytes are gone, nothing added
    PacketReader back;
    FUZZ_CHECK(back.parse(buffer) == kSuccess);
    FUZZ_CHECK(back.packet_len() == again.packet_len());
    Slots out2{layout};
    const Status s2 = response ? decode_response_values(back, c.command, out2.values)
                               : decode_request_values(back, c.command, out2.values);
    FUZZ_CHECK(s2 == kSuccess);
    FUZZ_CHECK(out.same_as(out2, layout));
    return 0;
}
