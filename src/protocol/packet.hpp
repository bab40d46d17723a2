// Packet framing: the 4-byte header, a writer that builds one packet in a
// caller's buffer and a reader that takes fields from one, and the text
// rules. Neither owns memory or allocates: a request is written straight into
// the connection's buffer and a response is read where it arrived. Every
// operation returns a protocol status (status.hpp), 0 meaning success, and
// never throws. A failed append leaves the payload as it was, a failed take
// leaves the cursor where it was, a failed parse leaves the reader as it was.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/status.hpp"

namespace tq::proto {

using Status = uint32_t;

inline constexpr size_t kHeaderLen = 4;
// TQ_COMMAND_PAYLOAD_MAX_LEN: the largest whole packet, header included.
inline constexpr size_t kCommandPayloadMaxLen = 65535;
inline constexpr size_t kMaxPayloadLen = kCommandPayloadMaxLen - kHeaderLen;  // 65531
// The client's connection buffer: every request it sends and every response it
// accepts fits in it.
inline constexpr size_t kBufferSize = 4096;
inline constexpr size_t kMaxTextLen = 65535;
// Decoders take texts into fields of this size; one byte goes to the NUL.
inline constexpr size_t kTextFieldCapacity = 128;
using TextField = std::array<char, kTextFieldCapacity>;

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing
// above U+10FFFF, no sequence cut off at the end.
bool is_valid_utf8(std::span<const uint8_t> bytes) noexcept;
bool is_valid_utf8(std::string_view text) noexcept;

// Command code, then payload length; both u16 little-endian.
struct Header {
    uint16_t command = 0;
    uint16_t payload_len = 0;
};
// `bytes` holds at least kHeaderLen bytes.
Header read_header(std::span<const uint8_t> bytes) noexcept;

class PacketWriter {
public:
    // Appends stop where the buffer ends, or at the largest payload a packet
    // may carry, whichever comes first.
    explicit PacketWriter(std::span<uint8_t> buffer) noexcept : buffer_(buffer) {}

    // Writes the header of an empty packet; 8 when the buffer cannot hold it.
    Status start(uint16_t command) noexcept;

    uint16_t command() const noexcept { return command_; }
    uint16_t payload_len() const noexcept { return static_cast<uint16_t>(used_); }
    // The bytes to send: header and payload.
    size_t packet_len() const noexcept { return kHeaderLen + used_; }

    Status append_u8(uint8_t v) noexcept;
    Status append_u16(uint16_t v) noexcept;
    Status append_u32(uint32_t v) noexcept;
    Status append_u64(uint64_t v) noexcept;
    Status append_bool(bool v) noexcept;
    // A text field (u16 count, then the bytes). Only the part before the first
    // NUL is sent, as for a C string. 15 if not UTF-8, 12 if over 65535 bytes,
    // 8 if it does not fit.
    Status append_text(std::string_view text) noexcept;
    // Bytes laid out like a text but not checked as UTF-8 (firmware chunks).
    // 17 if over 65535 bytes, 8 if they do not fit.
    Status append_sized_bytes(std::span<const uint8_t> bytes) noexcept;

private:
    Status append_raw(const uint8_t* bytes, size_t n) noexcept;
    size_t capacity() const noexcept;

    std::span<uint8_t> buffer_;
    size_t used_ = 0;
    uint16_t command_ = 0;
    bool started_ = false;
};

class PacketReader {
public:
    // An empty packet with command 0.
    PacketReader() noexcept = default;

    // Views the packet at the start of `buffer`, which must outlive the
    // reader; the cursor starts at 0. 8 when the buffer is shorter than the
    // header or than the packet the header announces.
    Status parse(std::span<const uint8_t> buffer) noexcept;

    uint16_t command() const noexcept { return command_; }
    uint16_t payload_len() const noexcept { return static_cast<uint16_t>(payload_.size()); }
    size_t packet_len() const noexcept { return kHeaderLen + payload_.size(); }
    size_t cursor() const noexcept { return cursor_; }
    size_t remaining() const noexcept { return payload_.size() - cursor_; }
    std::span<const uint8_t> payload() const noexcept { return payload_; }

    Status take_u8(uint8_t& out) noexcept;
    Status take_u16(uint16_t& out) noexcept;
    Status take_u32(uint32_t& out) noexcept;
    Status take_u64(uint64_t& out) noexcept;
    // Any non-zero byte reads as true.
    Status take_bool(bool& out) noexcept;
    // A text into a field of `capacity` bytes, NUL-terminated. 2 without a
    // field, 8 if the text needs more than capacity - 1 bytes, 15 if not UTF-8.
    Status take_text(char* field, size_t capacity) noexcept;
    // A counted byte string; `out` views the parsed buffer.
    Status take_sized_bytes(std::span<const uint8_t>& out) noexcept;

private:
    Status take_raw(uint8_t* out, size_t n) noexcept;

    std::span<const uint8_t> payload_;
    size_t cursor_ = 0;
    uint16_t command_ = 0;
};

}  // namespace tq::proto
