// The packet object: growth rule, limits, primitives, serialise/parse and
// text rules.
#include "protocol/protocol_base.hpp"

#include <gtest/gtest.h>

#include <memory_resource>
#include <new>
#include <string>
#include <vector>

#include "bytes.hpp"

namespace tq::proto {
namespace {

using test::Bytes;
using test::hex;
using test::to_hex;

// Lets a given number of allocations through, then fails every later one.
class LimitedMemory : public std::pmr::memory_resource {
public:
    explicit LimitedMemory(size_t allowed) : allowed_(allowed) {}
    size_t allocations = 0;

private:
    void* do_allocate(size_t n, size_t align) override {
        if (allocations == allowed_) throw std::bad_alloc();
        ++allocations;
        return std::pmr::new_delete_resource()->allocate(n, align);
    }
    void do_deallocate(void* p, size_t n, size_t align) override {
        std::pmr::new_delete_resource()->deallocate(p, n, align);
    }
    bool do_is_equal(const memory_resource& other) const noexcept override { return this == &other; }
    size_t allowed_;
};

Bytes payload_of(const Packet& p) {
    return {p.payload().begin(), p.payload().end()};
}

Bytes serialised(const Packet& p) {
    Bytes out(p.packet_len());
    EXPECT_EQ(p.serialise(out), kSuccess);
    return out;
}

// ---- growth rule ----

struct GrowthCase {
    const char* name;
    size_t reserved;
    std::vector<size_t> appends;           // bytes appended, one append each
    std::vector<size_t> capacities_after;  // capacity after each append
};

class GrowthRule : public testing::TestWithParam<GrowthCase> {};

TEST_P(GrowthRule, capacity_follows_max_of_double_and_needed) {
    const GrowthCase& c = GetParam();
    Packet p;
    ASSERT_EQ(p.start(7, c.reserved), kSuccess);
    EXPECT_EQ(p.capacity(), c.reserved);
    size_t used = 0;
    for (size_t i = 0; i < c.appends.size(); ++i) {
        const Bytes chunk(c.appends[i], static_cast<uint8_t>(i));
        ASSERT_EQ(p.append_bytes(chunk), kSuccess);
        used += chunk.size();
        EXPECT_EQ(p.capacity(), c.capacities_after[i]) << "after append " << i;
        EXPECT_EQ(p.payload_len(), used);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packet, GrowthRule,
    testing::Values(GrowthCase{"from_empty_starts_at_one_then_doubles", 0, {1, 1, 1, 1, 1}, {1, 2, 4, 4, 8}},
                    GrowthCase{"large_append_takes_exactly_what_is_needed", 0, {1, 10, 1}, {1, 11, 22}},
                    GrowthCase{"reservation_is_used_before_growing", 5, {2, 3, 1}, {5, 5, 10}},
                    GrowthCase{"need_beyond_double_wins", 4, {4, 9}, {4, 13}},
                    GrowthCase{"empty_append_never_allocates", 0, {0, 0}, {0, 0}}),
    [](const auto& info) { return std::string{info.param.name}; });

TEST(Packet, reservation_beyond_payload_limit_is_only_a_hint) {
    Packet p;
    EXPECT_EQ(p.start(1, 1'000'000), kSuccess);
    EXPECT_EQ(p.capacity(), kMaxPayloadLen);
}

TEST(Packet, start_discards_previous_payload_and_cursor) {
    Packet p;
    ASSERT_EQ(p.start(1, 0), kSuccess);
    ASSERT_EQ(p.append_u32(5), kSuccess);
    ASSERT_EQ(p.start(9, 0), kSuccess);
    EXPECT_EQ(p.command(), 9);
    EXPECT_EQ(p.payload_len(), 0);
    EXPECT_EQ(p.capacity(), 0u);
    EXPECT_EQ(serialised(p), hex("09 00 00 00"));
}

TEST(Packet, failed_growth_gives_memory_error_and_leaves_packet_unchanged) {
    LimitedMemory memory{1};
    Packet p{&memory};
    ASSERT_EQ(p.start(3, 2), kSuccess);
    ASSERT_EQ(p.append_u16(0xBEEF), kSuccess);
    EXPECT_EQ(p.append_u8(1), kMemoryError);
    EXPECT_EQ(p.capacity(), 2u);
    EXPECT_EQ(payload_of(p), hex("EF BE"));
}

TEST(Packet, failed_reservation_gives_memory_error) {
    LimitedMemory memory{0};
    Packet p{&memory};
    EXPECT_EQ(p.start(3, 4), kMemoryError);
    EXPECT_EQ(p.start(3, 0), kSuccess) << "no reservation, no allocation";
}

// ---- appends ----

TEST(Packet, integers_are_appended_little_endian_without_gaps) {
    Packet p;
    ASSERT_EQ(p.start(0x1234, 0), kSuccess);
    ASSERT_EQ(p.append_u8(0xAB), kSuccess);
    ASSERT_EQ(p.append_u16(0x0102), kSuccess);
    ASSERT_EQ(p.append_u32(0x03040506), kSuccess);
    ASSERT_EQ(p.append_u64(0x0708090A0B0C0D0E), kSuccess);
    ASSERT_EQ(p.append_bool(true), kSuccess);
    ASSERT_EQ(p.append_bool(false), kSuccess);
    EXPECT_EQ(to_hex(serialised(p)), "34 12 11 00 AB 02 01 06 05 04 03 0E 0D 0C 0B 0A 09 08 07 01 00");
}

TEST(Packet, text_is_count_then_bytes_without_terminator) {
    Packet p;
    ASSERT_EQ(p.start(5, 0), kSuccess);
    ASSERT_EQ(p.append_text("abc"), kSuccess);
    ASSERT_EQ(p.append_text(""), kSuccess);
    EXPECT_EQ(payload_of(p), hex("03 00 61 62 63 00 00"));
}

TEST(Packet, text_is_sent_up_to_its_first_nul) {
    Packet p;
    ASSERT_EQ(p.start(5, 0), kSuccess);
    ASSERT_EQ(p.append_text(std::string_view{"ab\0cd", 5}), kSuccess);
    EXPECT_EQ(payload_of(p), hex("02 00 61 62"));
}

TEST(Packet, text_over_65535_bytes_exceeds_string_limit) {
    Packet p;
    ASSERT_EQ(p.start(5, 0), kSuccess);
    EXPECT_EQ(p.append_text(std::string(65536, 'x')), kExceedingStringLengthLimit);
    EXPECT_EQ(p.payload_len(), 0);
}

TEST(Packet, invalid_utf8_text_is_refused_before_length_check) {
    Packet p;
    ASSERT_EQ(p.start(5, 0), kSuccess);
    std::string big(70000, 'x');
    big[10] = '\xFF';
    EXPECT_EQ(p.append_text(big), kInvalidUtf8);
    EXPECT_EQ(p.append_text("\xC0\x80"), kInvalidUtf8);
    EXPECT_EQ(p.payload_len(), 0);
}

TEST(Packet, sized_bytes_are_not_checked_as_utf8) {
    Packet p;
    ASSERT_EQ(p.start(51, 0), kSuccess);
    ASSERT_EQ(p.append_sized_bytes(hex("FF 00 C0")), kSuccess);
    EXPECT_EQ(payload_of(p), hex("03 00 FF 00 C0"));
    EXPECT_EQ(p.append_sized_bytes(Bytes(65536)), kValueOutOfBounds);
    EXPECT_EQ(p.payload_len(), 5);
}

TEST(Packet, payload_holds_at_most_65531_bytes) {
    Packet p;
    ASSERT_EQ(p.start(1, 0), kSuccess);
    ASSERT_EQ(p.append_bytes(Bytes(kMaxPayloadLen - 1)), kSuccess);
    EXPECT_EQ(p.append_u16(1), kBufferTooSmall);
    EXPECT_EQ(p.payload_len(), kMaxPayloadLen - 1) << "a refused append leaves the payload as it was";
    EXPECT_EQ(p.append_u8(1), kSuccess);
    EXPECT_EQ(p.payload_len(), kMaxPayloadLen);
    EXPECT_EQ(p.append_u8(1), kBufferTooSmall);
    EXPECT_EQ(p.append_text("a"), kBufferTooSmall);
    EXPECT_EQ(p.payload_len(), kMaxPayloadLen);
}

TEST(Packet, text_whose_count_fits_but_bytes_do_not_leaves_no_stray_count) {
    Packet p;
    ASSERT_EQ(p.start(1, 0), kSuccess);
    ASSERT_EQ(p.append_bytes(Bytes(kMaxPayloadLen - 3)), kSuccess);
    EXPECT_EQ(p.append_text("ab"), kBufferTooSmall);
    EXPECT_EQ(p.payload_len(), kMaxPayloadLen - 3);
}

// ---- serialise and parse ----

TEST(Packet, empty_request_is_the_header_alone) {
    Packet p;
    ASSERT_EQ(p.start(3, 0), kSuccess);
    EXPECT_EQ(serialised(p), hex("03 00 00 00"));
}

TEST(Packet, serialise_into_short_buffer_leaves_it_untouched) {
    Packet p;
    ASSERT_EQ(p.start(0x13, 2), kSuccess);
    ASSERT_EQ(p.append_u16(1), kSuccess);
    Bytes buf(5, 0xEE);
    EXPECT_EQ(p.serialise(buf), kBufferTooSmall);
    EXPECT_EQ(buf, Bytes(5, 0xEE));
    buf.resize(6);
    EXPECT_EQ(p.serialise(buf), kSuccess);
    EXPECT_EQ(buf, hex("13 00 02 00 01 00"));
}

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
    Packet p;
    ASSERT_EQ(p.start(0x77, 0), kSuccess);
    ASSERT_EQ(p.append_u8(0x55), kSuccess);
    EXPECT_EQ(p.parse(c.buffer), c.status);
    if (c.status == kSuccess) {
        EXPECT_EQ(p.command(), c.command);
        EXPECT_EQ(payload_of(p), c.payload);
        EXPECT_EQ(p.cursor(), 0u);
    } else {
        EXPECT_EQ(p.command(), 0x77) << "a failed parse leaves the packet as it was";
        EXPECT_EQ(payload_of(p), hex("55"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packet, Parse,
    testing::Values(ParseCase{"zero_length_ends_after_header", hex("04 00 00 00 99 99"), kSuccess, 4, {}},
                    ParseCase{"payload_copied", hex("04 00 02 00 61 62"), kSuccess, 4, hex("61 62")},
                    ParseCase{"bytes_after_packet_ignored", hex("AD BA 02 00 05 00 FF"), kSuccess, 0xBAAD,
                              hex("05 00")},
                    ParseCase{"header_cut_short", hex("04 00 00"), kBufferTooSmall, 0, {}},
                    ParseCase{"empty_buffer", {}, kBufferTooSmall, 0, {}},
                    ParseCase{"payload_cut_short", hex("04 00 03 00 61 62"), kBufferTooSmall, 0, {}}),
    [](const auto& info) { return std::string{info.param.name}; });

TEST(Packet, parse_reserves_exactly_the_payload) {
    Packet p;
    ASSERT_EQ(p.parse(hex("04 00 03 00 61 62 63")), kSuccess);
    EXPECT_EQ(p.capacity(), 3u);
}

TEST(Packet, parse_with_failing_memory_gives_memory_error) {
    LimitedMemory memory{0};
    Packet p{&memory};
    EXPECT_EQ(p.parse(hex("04 00 01 00 61")), kMemoryError);
    EXPECT_EQ(p.parse(hex("04 00 00 00")), kSuccess);
}

// ---- takes ----

TEST(Packet, takes_read_fields_in_order_and_ignore_the_rest) {
    Packet p;
    ASSERT_EQ(p.parse(hex("01 00 10 00 AB 02 01 06 05 04 03 0E 0D 0C 0B 0A 09 08 07 02 FF")), kSuccess);
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

TEST(Packet, take_beyond_payload_leaves_cursor_and_target) {
    Packet p;
    ASSERT_EQ(p.parse(hex("01 00 03 00 01 02 03")), kSuccess);
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
    Packet p;
    ASSERT_EQ(p.parse(test::packet(4, c.payload)), kSuccess);
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

TEST(Packet, take_text_without_field_is_invalid_pointer) {
    Packet p;
    ASSERT_EQ(p.parse(hex("04 00 02 00 00 00")), kSuccess);
    EXPECT_EQ(p.take_text(nullptr, 128), kInvalidPointer);
    EXPECT_EQ(p.cursor(), 0u);
}

TEST(Packet, take_sized_bytes_views_the_payload) {
    Packet p;
    ASSERT_EQ(p.parse(hex("33 00 07 00 02 00 02 00 FF 00 77")), kSuccess);
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

INSTANTIATE_TEST_SUITE_P(
    Text, Utf8,
    testing::Values(
        Utf8Case{"empty", {}, true}, Utf8Case{"ascii_and_nul", hex("61 00 7F"), true},
        Utf8Case{"two_byte_smallest", hex("C2 80"), true}, Utf8Case{"two_byte_largest", hex("DF BF"), true},
        Utf8Case{"overlong_two_byte_c0", hex("C0 80"), false}, Utf8Case{"overlong_two_byte_c1", hex("C1 BF"), false},
        Utf8Case{"three_byte_smallest", hex("E0 A0 80"), true}, Utf8Case{"overlong_three_byte", hex("E0 9F BF"), false},
        Utf8Case{"last_before_surrogates", hex("ED 9F BF"), true},
        Utf8Case{"surrogate_low_end", hex("ED A0 80"), false}, Utf8Case{"surrogate_high_end", hex("ED BF BF"), false},
        Utf8Case{"after_surrogates", hex("EE 80 80"), true}, Utf8Case{"bmp_last", hex("EF BF BF"), true},
        Utf8Case{"four_byte_smallest", hex("F0 90 80 80"), true},
        Utf8Case{"overlong_four_byte", hex("F0 8F BF BF"), false},
        Utf8Case{"largest_code_point", hex("F4 8F BF BF"), true}, Utf8Case{"above_10ffff", hex("F4 90 80 80"), false},
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
