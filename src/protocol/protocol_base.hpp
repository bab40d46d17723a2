// The packet object, its field primitives and the text rules. Pure byte
// handling: no sockets, no threads, no state between calls. Every operation
// returns a protocol status (status.hpp), 0 meaning success, and never throws.
// A failed primitive leaves its target untouched: the payload of a failed
// append, the cursor of a failed take, the buffer of a refused serialise, the
// packet of a failed parse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
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

class Packet {
public:
    // Payload storage comes from `memory` when given (tests inject a failing
    // one to reach the memory-error paths), otherwise from plain operator new.
    explicit Packet(std::pmr::memory_resource* memory = nullptr) noexcept;
    ~Packet();
    Packet(Packet&& other) noexcept;
    Packet& operator=(Packet&& other) noexcept;
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    uint16_t command() const noexcept { return command_; }
    uint16_t payload_len() const noexcept { return static_cast<uint16_t>(used_); }
    size_t packet_len() const noexcept { return kHeaderLen + used_; }
    size_t capacity() const noexcept { return capacity_; }
    size_t cursor() const noexcept { return cursor_; }
    size_t remaining() const noexcept { return used_ - cursor_; }
    std::span<const uint8_t> payload() const noexcept { return {data_, used_}; }

    // Begins a new packet: drops the old payload, then reserves `reserved`
    // bytes. The reservation is only a hint; sizes beyond a payload's limit
    // are clamped to it.
    Status start(uint16_t command, size_t reserved_payload_size) noexcept;
    // Makes room for n more bytes by the growth rule:
    // new capacity = max(2 * old (1 when 0), used + n).
    Status grow(size_t n) noexcept;

    Status append_u8(uint8_t v) noexcept;
    Status append_u16(uint16_t v) noexcept;
    Status append_u32(uint32_t v) noexcept;
    Status append_u64(uint64_t v) noexcept;
    Status append_bool(bool v) noexcept;
    // Raw bytes, no count.
    Status append_bytes(std::span<const uint8_t> bytes) noexcept;
    // A text field (u16 count, then the bytes). Only the part before the first
    // NUL is sent, as for a C string. 15 if not UTF-8, 12 if over 65535 bytes.
    Status append_text(std::string_view text) noexcept;
    // Bytes laid out like a text but not checked as UTF-8 (firmware chunks).
    // 17 if over 65535 bytes.
    Status append_sized_bytes(std::span<const uint8_t> bytes) noexcept;

    // 8 when the buffer is shorter than the packet.
    Status serialise(std::span<uint8_t> buffer) const noexcept;
    // Reads header and payload from the start of the buffer; the cursor starts
    // at 0. 8 when the buffer is shorter than the header or the announced packet.
    Status parse(std::span<const uint8_t> buffer) noexcept;

    Status take_u8(uint8_t& out) noexcept;
    Status take_u16(uint16_t& out) noexcept;
    Status take_u32(uint32_t& out) noexcept;
    Status take_u64(uint64_t& out) noexcept;
    // Any non-zero byte reads as true.
    Status take_bool(bool& out) noexcept;
    // Exactly out.size() raw bytes.
    Status take_bytes(std::span<uint8_t> out) noexcept;
    // A text into a field of `capacity` bytes, NUL-terminated. 2 without a
    // field, 8 if the text needs more than capacity - 1 bytes, 15 if not UTF-8.
    Status take_text(char* field, size_t capacity) noexcept;
    // A counted byte string; `out` views the packet's storage and stays valid
    // until the packet is started, parsed or destroyed.
    Status take_sized_bytes(std::span<const uint8_t>& out) noexcept;

private:
    Status append_raw(const uint8_t* bytes, size_t n) noexcept;
    Status take_raw(uint8_t* out, size_t n) noexcept;
    uint8_t* allocate(size_t n) const noexcept;
    void deallocate(uint8_t* block, size_t n) const noexcept;
    void release() noexcept;

    std::pmr::memory_resource* memory_;
    uint8_t* data_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
    size_t cursor_ = 0;
    uint16_t command_ = 0;
};

}  // namespace tq::proto
