// The packet reader and writer on arbitrary bytes. Input: one byte n (mod 16),
// n script bytes, then the wire bytes. The script drives which fields are
// taken; every field taken is appended to a writer again, which must give
// back the bytes it came from.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "check.hpp"
#include "protocol/packet.hpp"

using namespace tq::proto;

namespace {

void check_parse(std::span<const uint8_t> wire, const PacketReader& p, Status s) {
    if (wire.size() < kHeaderLen) {
        FUZZ_CHECK(s == kBufferTooSmall);
        return;
    }
    const size_t len = wire[2] | wire[3] << 8;
    FUZZ_CHECK((s == kSuccess) == (wire.size() >= kHeaderLen + len));
    if (s != kSuccess) return;
    FUZZ_CHECK(p.command() == (wire[0] | wire[1] << 8));
    FUZZ_CHECK(p.payload_len() == len);
    FUZZ_CHECK(p.cursor() == 0);
    FUZZ_CHECK(p.payload().data() == wire.data() + kHeaderLen);  // a view, not a copy
}

// Takes fields as the script says and appends each one taken to `w`.
void take_by_script(PacketReader& p, PacketWriter& w, std::span<const uint8_t> script) {
    for (const uint8_t op : script) {
        const size_t before = p.cursor();
        const size_t left = p.remaining();
        Status s = kSuccess;
        Status rewritten = kSuccess;
        size_t expect = 0;
        switch (op % 8) {
            case 0: {
                uint8_t v;
                s = p.take_u8(v);
                expect = 1;
                if (s == kSuccess) rewritten = w.append_u8(v);
                break;
            }
            case 1: {
                uint16_t v;
                s = p.take_u16(v);
                expect = 2;
                if (s == kSuccess) rewritten = w.append_u16(v);
                break;
            }
            case 2: {
                uint32_t v;
                s = p.take_u32(v);
                expect = 4;
                if (s == kSuccess) rewritten = w.append_u32(v);
                break;
            }
            case 3: {
                uint64_t v;
                s = p.take_u64(v);
                expect = 8;
                if (s == kSuccess) rewritten = w.append_u64(v);
                break;
            }
            case 4: {
                bool v;
                s = p.take_bool(v);
                expect = 1;
                if (s == kSuccess) {
                    const uint8_t byte = p.payload()[before];
                    FUZZ_CHECK(v == (byte != 0));
                    rewritten = w.append_u8(byte);
                }
                break;
            }
            case 5: {
                std::span<const uint8_t> v;
                s = p.take_sized_bytes(v);
                expect = 2 + v.size();
                if (s == kSuccess) {
                    FUZZ_CHECK(v.data() >= p.payload().data() &&
                               v.data() + v.size() <= p.payload().data() + p.payload().size());
                    rewritten = w.append_sized_bytes(v);
                }
                break;
            }
            default: {
                // A field with a guard byte behind it.
                const size_t capacity = op >> 3;
                std::array<char, 33> field;
                field.fill('\x7F');
                s = p.take_text(field.data(), capacity);
                FUZZ_CHECK(field[capacity] == '\x7F');  // nothing written past the field
                if (s == kSuccess) {
                    const size_t n = std::strlen(field.data());
                    expect = p.cursor() - before;
                    FUZZ_CHECK(n < capacity);
                    FUZZ_CHECK(expect >= 2 + n);
                    FUZZ_CHECK(is_valid_utf8(std::span{reinterpret_cast<const uint8_t*>(field.data()), expect - 2}));
                    // A NUL inside the text ends it in the field, and a text
                    // is sent only up to its NUL: the bytes go back as they were.
                    if (expect == 2 + n)
                        rewritten = w.append_text({field.data(), n});
                    else
                        rewritten = w.append_sized_bytes(p.payload().subspan(before + 2, expect - 2));
                } else {
                    FUZZ_CHECK(s == kBufferTooSmall || s == kReadBeyondPayload || s == kInvalidUtf8);
                }
                break;
            }
        }
        if (s == kSuccess) {
            FUZZ_CHECK(p.cursor() == before + expect);
            FUZZ_CHECK(expect <= left);
            FUZZ_CHECK(rewritten == kSuccess);
        } else {
            FUZZ_CHECK(p.cursor() == before);  // a failed take leaves the cursor
        }
        FUZZ_CHECK(p.cursor() <= p.payload_len());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t n = std::min<size_t>(data[0] % 16, size - 1);
    const std::span<const uint8_t> script{data + 1, n};
    const std::span<const uint8_t> wire{data + 1 + n, size - 1 - n};

    PacketReader parsed;
    const Status s = parsed.parse(wire);
    check_parse(wire, parsed, s);
    if (s != kSuccess) return 0;

    // The writer gets exactly the room the packet had, plus a guard byte it
    // must never touch.
    std::vector<uint8_t> out(parsed.packet_len() + 1, 0x5A);
    PacketWriter rewritten{std::span{out}.first(parsed.packet_len())};
    FUZZ_CHECK(rewritten.start(parsed.command()) == kSuccess);
    take_by_script(parsed, rewritten, script);
    FUZZ_CHECK(out.back() == 0x5A);
    FUZZ_CHECK(rewritten.payload_len() == parsed.cursor());
    FUZZ_CHECK(std::memcmp(out.data(), wire.data(), 2) == 0);  // the command
    FUZZ_CHECK(std::memcmp(out.data() + kHeaderLen, wire.data() + kHeaderLen, parsed.cursor()) == 0);
    return 0;
}
