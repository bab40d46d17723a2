// Packet framing: the writer's appends and limits, the reader's parse and
// takes, and the text rules.
#include "protocol/packet.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.hpp"

namespace tq::proto {
namespace {

using test::Bytes;
using test::hex;
using test::to_hex;

// A writer over a buffer of its own, pre-filled so stray writes show.
struct Written {
    Bytes buffer;
    PacketWriter writer;
    explicit Written(size_t size = kHeaderLen + kMaxPayloadLen + 16) : buffer(size, 0xEE), writer(buffer) {}
    Bytes packet() const { return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(writer.packet_len())}; }
    Bytes payload() const {
        return {buffer.begin() + kHeaderLen, buffer.begin() + static_cast<std::ptrdiff_t>(writer.packet_len())};
    }
};

// ---- writer ----

TEST(PacketWriter, start_begins_an_empty_packet) {
    Written w;
    ASSERT_EQ(w.writer.start(1), kSuccess);
    ASSERT_EQ(w.writer.append_u32(5), kSuccess);
    ASSERT_EQ(w.writer.start(9), kSuccess);
    EXPECT_EQ(w.writer.command(), 9);
    EXPECT_EQ(w.writer.payload_len(), 0);
    EXPECT_EQ(w.packet(), hex("09 00 00 00"));
}

TEST(PacketWriter, integers_are_appended_little_endian_without_gaps) {
    Written w;
    ASSERT_EQ(w.writer.start(0x1234), kSuccess);
    ASSERT_EQ(w.writer.append_u8(0xAB), kSuccess);
    ASSERT_EQ(w.writer.append_u16(0x0102), kSuccess);
    ASSERT_EQ(w.writer.append_u32(0x03040506), kSuccess);
    ASSERT_EQ(w.writer.append_u64(0x0708090A0B0C0D0E), kSuccess);
    ASSERT_EQ(w.writer.append_bool(true), kSuccess);
    ASSERT_EQ(w.writer.append_bool(false), kSuccess);
    EXPECT_EQ(to_hex(w.packet()), "34 12 11 00 AB 02 01 06 05 04 03 0E 0D 0C 0B 0A 09 08 07 01 00");
}

TEST(PacketWriter, text_is_count_then_bytes_without_terminator) {
    Written w;
    ASSERT_EQ(w.writer.start(5), kSuccess);
    ASSERT_EQ(w.writer.append_text("abc"), kSuccess);
    ASSERT_EQ(w.writer.append_text(""), kSuccess);
    EXPECT_EQ(w.payload(), hex("03 00 61 62 63 00 00"));
}

TEST(PacketWriter, text_is_sent_up_to_its_first_nul) {
    Written w;
    ASSERT_EQ(w.writer.start(5), kSuccess);
    ASSERT_EQ(w.writer.append_text(std::string_view{"ab\0cd", 5}), kSuccess);
    EXPECT_EQ(w.payload(), hex("02 00 61 62"));
}

TEST(PacketWriter, text_over_65535_bytes_exceeds_string_limit) {
    Written w;
    ASSERT_EQ(w.writer.start(5), kSuccess);
    EXPECT_EQ(w.writer.append_text(std::string(65536, 'x')), kExceedingStringLengthLimit);
    EXPECT_EQ(w.writer.payload_len(), 0);
}

TEST(PacketWriter, invalid_utf8_text_is_refused_before_length_check) {
    Written w;
    ASSERT_EQ(w.writer.start(5), kSuccess);
    std::string big(70000, 'x');
    big[10] = '\xFF';
    EXPECT_EQ(w.writer.append_text(big), kInvalidUtf8);
    EXPECT_EQ(w.writer.append_text("\xC0\x80"), kInvalidUtf8);
    EXPECT_EQ(w.writer.payload_len(), 0);
}

TEST(PacketWriter, sized_bytes_are_not_checked_as_utf8) {
    Written w;
    ASSERT_EQ(w.writer.start(51), kSuccess);
    ASSERT_EQ(w.writer.append_sized_bytes(hex("FF 00 C0")), kSuccess);
    EXPECT_EQ(w.payload(), hex("03 00 FF 00 C0"));
    EXPECT_EQ(w.writer.append_sized_bytes(Bytes(65536)), kValueOutOfBounds);
    EXPECT_EQ(w.writer.payload_len(), 5);
}

TEST(PacketWriter, payload_holds_at_most_65531_bytes) {
    Written w;
    ASSERT_EQ(w.writer.start(1), kSuccess);
    ASSERT_EQ(w.writer.append_sized_bytes(Bytes(kMaxPayloadLen - 3)), kSuccess);
    EXPECT_EQ(w.writer.append_u16(1), kBufferTooSmall);
    EXPECT_EQ(w.writer.payload_len(), kMaxPayloadLen - 1) << "a refused append leaves the payload as it was";
    EXPECT_EQ(w.writer.append_u8(1), kSuccess);
    EXPECT_EQ(w.writer.payload_len(), kMaxPayloadLen);
    EXPECT_EQ(w.writer.append_u8(1), kBufferTooSmall);
    EXPECT_EQ(w.writer.append_text("a"), kBufferTooSmall);
    EXPECT_EQ(w.writer.payload_len(), kMaxPayloadLen);
}

TEST(PacketWriter, text_whose_count_fits_but_bytes_do_not_leaves_no_stray_count) {
    Written w;
    ASSERT_EQ(w.writer.start(1), kSuccess);
    ASSERT_EQ(w.writer.append_sized_bytes(Bytes(kMaxPayloadLen - 5)), kSuccess);
    EXPECT_EQ(w.writer.append_text("ab"), kBufferTooSmall);
    EXPECT_EQ(w.writer.payload_len(), kMaxPayloadLen - 3);
}

TEST(PacketWriter, appends_stop_at_the_end_of_the_buffer) {
    Written small{5};
    ASSERT_EQ(small.writer.start(0x13), kSuccess);
    EXPECT_EQ(small.writer.append_u16(1), kBufferTooSmall);
    EXPECT_EQ(small.buffer, hex("13 00 00 00 EE")) << "nothing written past the payload it holds";
    Written fits{6};
    ASSERT_EQ(fits.writer.start(0x13), kSuccess);
    ASSERT_EQ(fits.writer.append_u16(1), kSuccess);
    EXPECT_EQ(fits.buffer, hex("13 00 02 00 01 00"));
    Written no_header{3};
    EXPECT_EQ(no_header.writer.start(0x13), kBufferTooSmall);
    EXPECT_EQ(no_header.writer.append_u8(1), kBufferTooSmall);
    EXPECT_EQ(no_header.buffer, Bytes(3, 0xEE));
}

// ---- reader ----

struct ParseCase {
    const char* name;
    Bytes buffer;
    Status status;
    uint16_t command;
    Bytes payload;
};

class Parse : public testing::TestWithParam<ParseCase> {};

TEST_P(Parse, reads_header_then_announced_payload) {
    const ParseCase& c = GetParam();
    const Bytes before = hex("77 00 01 00 55");
    PacketReader p;
    ASSERT_EQ(p.parse(before), kSuccess);
    EXPECT_EQ(p.parse(c.buffer), c.status);
    const Bytes payload(p.payload().begin(), p.payload().end());
    if (c.status == kSuccess) {
        EXPECT_EQ(p.command(), c.command);
        EXPECT_EQ(payload, c.payload);
        EXPECT_EQ(p.cursor(), 0u);
    } else {
        EXPECT_EQ(p.command(), 0x77) << "a failed parse leaves the reader as it was";
        EXPECT_EQ(payload, hex("55"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packet, Parse,
    testing::Values(ParseCase{"zero_length_ends_after_header", hex("04 00 00 00 99 99"), kSuccess, 4, {}},
                    ParseCase{"payload_viewed", hex("04 00 02 00 61 62"), kSuccess, 4, hex("61 62")},
                    ParseCase{"bytes_after_packet_ignored", hex("AD BA 02 00 05 00 FF"), kSuccess, 0xBAAD,
                              hex("05 00")},
                    ParseCase{"header_cut_short", hex("04 00 00"), kBufferTooSmall, 0, {}},
                    ParseCase{"empty_buffer", {}, kBufferTooSmall, 0, {}},
                    ParseCase{"payload_cut_short", hex("04 00 03 00 61 62"), kBufferTooSmall, 0, {}}),
    [](const auto& info) { return std::string{info.param.name}; });

// ---- takes ----

TEST(PacketReader, takes_read_fields_in_order_and_ignore_the_rest) {
    const Bytes packet = hex("01 00 10 00 AB 02 01 06 05 04 03 0E 0D 0C 0B 0A 09 08 07 02 FF");
    PacketReader p;
    ASSERT_EQ(p.parse(packet), kSuccess);
    uint8_t a = 0;
    uint16_t b = 0;
    uint32_t c = 0;
    uint64_t d = 0;
    bool e = false;
    ASSERT_EQ(p.take_u8(a), kSuccess);
    ASSERT_EQ(p.take_u16(b), kSuccess);
    ASSERT_EQ(p.take_u32(c), kSuccess);
    ASSERT_EQ(p.take_u64(d), kSuccess);
    ASSERT_EQ(p.take_bool(e), kSuccess);
    EXPECT_EQ(a, 0xAB);
    EXPECT_EQ(b, 0x0102);
    EXPECT_EQ(c, 0x03040506u);
    EXPECT_EQ(d, 0x0708090A0B0C0D0Eu);
    EXPECT_TRUE(e) << "any non-zero byte reads as true";
    EXPECT_EQ(p.remaining(), 0u) << "payload length bounds the takes, not the buffer";
}

TEST(PacketReader, take_beyond_payload_leaves_cursor_and_target) {
    const Bytes packet = hex("01 00 03 00 01 02 03");
    PacketReader p;
    ASSERT_EQ(p.parse(packet), kSuccess);
    uint8_t one = 0;
    ASSERT_EQ(p.take_u8(one), kSuccess);
    uint32_t four = 0xCAFE;
    EXPECT_EQ(p.take_u32(four), kReadBeyondPayload);
    EXPECT_EQ(four, 0xCAFEu);
    EXPECT_EQ(p.cursor(), 1u);
    uint16_t two = 0;
    EXPECT_EQ(p.take_u16(two), kSuccess);
    EXPECT_EQ(two, 0x0302);
}

struct TakeTextCase {
    const char* name;
    Bytes payload;
    size_t capacity;
    Status status;
    std::string text;  // expected field content up to the NUL on success
};

class TakeText : public testing::TestWithParam<TakeTextCase> {};

TEST_P(TakeText, follows_text_rules) {
    const TakeTextCase& c = GetParam();
    const Bytes packet = test::packet(4, c.payload);
    PacketReader p;
    ASSERT_EQ(p.parse(packet), kSuccess);
    // One guard byte past the field: nothing may be written there.
    std::vector<char> field(c.capacity + 1, '#');
    EXPECT_EQ(p.take_text(field.data(), c.capacity), c.status);
    EXPECT_EQ(field.back(), '#');
    if (c.status == kSuccess) {
        EXPECT_EQ(std::string(field.data()), c.text);
        EXPECT_EQ(p.cursor(), 2 + c.text.size());
    } else {
        EXPECT_EQ(p.cursor(), 0u);
        EXPECT_EQ(std::string(field.begin(), field.end()), std::string(c.capacity + 1, '#'));
    }
}

Bytes text_payload(size_t n, char fill = 'a') {
    Bytes b = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    b.insert(b.end(), n, static_cast<uint8_t>(fill));
    return b;
}

INSTANTIATE_TEST_SUITE_P(Packet, TakeText,
                         testing::Values(TakeTextCase{"abc", hex("03 00 61 62 63"), 128, kSuccess, "abc"},
                                         TakeTextCase{"empty", hex("00 00"), 128, kSuccess, ""},
                                         TakeTextCase{"exactly_127_fits_128_field", text_payload(127), 128, kSuccess,
                                                      std::string(127, 'a')},
                                         TakeTextCase{"128_does_not_fit", text_payload(128), 128, kBufferTooSmall, ""},
                                         TakeTextCase{"zero_capacity", hex("00 00"), 0, kBufferTooSmall, ""},
                                         TakeTextCase{"count_cut", hex("00"), 128, kReadBeyondPayload, ""},
                                         TakeTextCase{"bytes_cut", hex("05 00 61 62"), 128, kReadBeyondPayload, ""},
                                         TakeTextCase{"not_utf8", hex("02 00 C3 28"), 128, kInvalidUtf8, ""},
                                         TakeTextCase{"two_byte_char", hex("02 00 C3 A9"), 128, kSuccess, "\xC3\xA9"}),
                         [](const auto& info) { return std::string{info.param.name}; });

TEST(PacketReader, take_text_without_field_is_invalid_pointer) {
    const Bytes packet = hex("04 00 02 00 00 00");
    PacketReader p;
    ASSERT_EQ(p.parse(packet), kSuccess);
    EXPECT_EQ(p.take_text(nullptr, 128), kInvalidPointer);
    EXPECT_EQ(p.cursor(), 0u);
}

TEST(PacketReader, take_sized_bytes_views_the_payload) {
    const Bytes packet = hex("33 00 07 00 02 00 02 00 FF 00 77");
    PacketReader p;
    ASSERT_EQ(p.parse(packet), kSuccess);
    uint16_t index = 0;
    std::span<const uint8_t> chunk;
    ASSERT_EQ(p.take_u16(index), kSuccess);
    ASSERT_EQ(p.take_sized_bytes(chunk), kSuccess);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(Bytes(chunk.begin(), chunk.end()), hex("FF 00"));
    EXPECT_EQ(p.take_sized_bytes(chunk), kReadBeyondPayload) << "one byte left cannot hold a count";
}

// ---- UTF-8 ----

struct Utf8Case {
    const char* name;
    Bytes bytes;
    bool valid;
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, validates_rfc3629_strictly) {
    EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
}

// Every single code point and surrogate is checked below; these are the
// malformed sequences, the empty text and a run of mixed lengths.
INSTANTIATE_TEST_SUITE_P(
    Text, Utf8,
    testing::Values(
        Utf8Case{"empty", {}, true}, Utf8Case{"overlong_two_byte_c0", hex("C0 80"), false},
        Utf8Case{"overlong_two_byte_c1", hex("C1 BF"), false}, Utf8Case{"overlong_three_byte", hex("E0 9F BF"), false},
        Utf8Case{"overlong_four_byte", hex("F0 8F BF BF"), false}, Utf8Case{"above_10ffff", hex("F4 90 80 80"), false},
        Utf8Case{"lead_f5", hex("F5 80 80 80"), false}, Utf8Case{"lead_ff", hex("FF"), false},
        Utf8Case{"lone_continuation", hex("80"), false}, Utf8Case{"truncated_two_byte", hex("61 C3"), false},
        Utf8Case{"truncated_three_byte", hex("E2 82"), false}, Utf8Case{"truncated_four_byte", hex("F0 9F 98"), false},
        Utf8Case{"bad_third_byte", hex("E2 82 41"), false}, Utf8Case{"bad_fourth_byte", hex("F0 9F 98 C0"), false},
        Utf8Case{"mixed_valid", hex("61 C3 A9 E2 82 AC F0 9F 98 80"), true}),
    [](const auto& info) { return std::string{info.param.name}; });

// Every code point encodes to a sequence the validator accepts, every
// surrogate to one it refuses.
TEST(Utf8, accepts_every_scalar_value_and_refuses_every_surrogate) {
    auto encode = [](uint32_t cp) {
        if (cp < 0x80) return Bytes{static_cast<uint8_t>(cp)};
        if (cp < 0x800) return Bytes{static_cast<uint8_t>(0xC0 | cp >> 6), static_cast<uint8_t>(0x80 | (cp & 0x3F))};
        if (cp < 0x10000)
            return Bytes{static_cast<uint8_t>(0xE0 | cp >> 12), static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F)),
                         static_cast<uint8_t>(0x80 | (cp & 0x3F))};
        return Bytes{static_cast<uint8_t>(0xF0 | cp >> 18), static_cast<uint8_t>(0x80 | (cp >> 12 & 0x3F)),
                     static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F)), static_cast<uint8_t>(0x80 | (cp & 0x3F))};
    };
    size_t accepted = 0;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        ASSERT_EQ(is_valid_utf8(encode(cp)), !surrogate) << std::hex << cp;
        accepted += !surrogate;
    }
    EXPECT_EQ(accepted, 0x110000u - 0x800u);
}

}  // namespace
}  // namespace tq::proto
