// Packet parsing and the take primitives on arbitrary bytes. Input: one byte
// n (mod 16), n script bytes, then the wire bytes. The script drives which
// fields are taken.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "check.hpp"
#include "protocol/protocol_base.hpp"

using namespace tq::proto;

namespace {

void check_parse(std::span<const uint8_t> wire, const Packet& p, Status s) {
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
    // Serialising gives back exactly the packet; one byte less is refused
    // without touching the buffer.
    std::array<uint8_t, kHeaderLen + 65535> out;
    FUZZ_CHECK(p.serialise({out.data(), p.packet_len()}) == kSuccess);
    FUZZ_CHECK(std::memcmp(out.data(), wire.data(), p.packet_len()) == 0);
    out.fill(0x5A);
    FUZZ_CHECK(p.serialise({out.data(), p.packet_len() - 1}) == kBufferTooSmall);
    FUZZ_CHECK(out[0] == 0x5A);
}

void take_by_script(Packet& p, std::span<const uint8_t> script) {
    for (const uint8_t op : script) {
        const size_t before = p.cursor();
        const size_t left = p.remaining();
        Status s = kSuccess;
        size_t expect = 0;
        switch (op % 8) {
            case 0: {
                uint8_t v;
                s = p.take_u8(v);
                expect = 1;
                break;
            }
            case 1: {
                uint16_t v;
                s = p.take_u16(v);
                expect = 2;
                break;
            }
            case 2: {
                uint32_t v;
                s = p.take_u32(v);
                expect = 4;
                break;
            }
            case 3: {
                uint64_t v;
                s = p.take_u64(v);
                expect = 8;
                break;
            }
            case 4: {
                bool v;
                s = p.take_bool(v);
                expect = 1;
                break;
            }
            case 5: {
                std::span<const uint8_t> v;
                s = p.take_sized_bytes(v);
                expect = 2 + v.size();
                if (s == kSuccess)
                    FUZZ_CHECK(v.data() >= p.payload().data() &&
                               v.data() + v.size() <= p.payload().data() + p.payload().size());
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
                } else {
                    FUZZ_CHECK(s == kBufferTooSmall || s == kReadBeyondPayload || s == kInvalidUtf8);
                }
                break;
            }
        }
        if (s == kSuccess) {
            FUZZ_CHECK(p.cursor() == before + expect);
            FUZZ_CHECK(expect <= left);
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

    Packet parsed;
    const Status s = parsed.parse(wire);
    check_parse(wire, parsed, s);

    if (s != kSuccess) return 0;
    take_by_script(parsed, script);
    return 0;
}
