#include "protocol/packet.hpp"

#include <algorithm>
#include <cstring>

namespace tq::proto {
namespace {

template <class T>
void store_le(uint8_t* out, T v) noexcept {
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

template <class T>
T load_le(const uint8_t* in) noexcept {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | static_cast<T>(in[i]) << (8 * i));
    return v;
}

constexpr bool is_continuation(uint8_t b) noexcept {
    return (b & 0xC0) == 0x80;
}

}  // namespace

bool is_valid_utf8(std::span<const uint8_t> bytes) noexcept {
    const uint8_t* p = bytes.data();
    const uint8_t* const end = p + bytes.size();
    while (p != end) {
        const uint8_t lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        // The second byte's range is where overlong forms, surrogates and
        // code points above U+10FFFF are excluded; later bytes are plain
        // continuations.
        size_t length = 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3, lo = 0xA0;
        } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
            length = 3;
        } else if (lead == 0xED) {
            length = 3, hi = 0x9F;
        } else if (lead == 0xF0) {
            length = 4, lo = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else if (lead == 0xF4) {
            length = 4, hi = 0x8F;
        } else {
            return false;  // 0x80..0xC1 and 0xF5..0xFF never start a sequence
        }
        if (static_cast<size_t>(end - p) < length) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (size_t i = 2; i < length; ++i)
            if (!is_continuation(p[i])) return false;
        p += length;
    }
    return true;
}

bool is_valid_utf8(std::string_view text) noexcept {
    return is_valid_utf8(std::span{reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

Header read_header(std::span<const uint8_t> bytes) noexcept {
    return {load_le<uint16_t>(bytes.data()), load_le<uint16_t>(bytes.data() + 2)};
}

// ---- writer ----

size_t PacketWriter::capacity() const noexcept {
    return std::min(buffer_.size() - kHeaderLen, kMaxPayloadLen);
}

Status PacketWriter::start(uint16_t command) noexcept {
    if (buffer_.size() < kHeaderLen) return kBufferTooSmall;
    command_ = command;
    used_ = 0;
    started_ = true;
    store_le(buffer_.data(), command);
    store_le(buffer_.data() + 2, uint16_t{0});
    return kSuccess;
}

// The header's length follows every append, so the buffer always holds a
// whole packet.
Status PacketWriter::append_raw(const uint8_t* bytes, size_t n) noexcept {
    if (!started_ || n > capacity() - used_) return kBufferTooSmall;
    if (n > 0) std::memcpy(buffer_.data() + kHeaderLen + used_, bytes, n);
    used_ += n;
    store_le(buffer_.data() + 2, static_cast<uint16_t>(used_));
    return kSuccess;
}

Status PacketWriter::append_u8(uint8_t v) noexcept {
    return append_raw(&v, 1);
}

Status PacketWriter::append_u16(uint16_t v) noexcept {
    uint8_t b[2];
    store_le(b, v);
    return append_raw(b, sizeof b);
}

Status PacketWriter::append_u32(uint32_t v) noexcept {
    uint8_t b[4];
    store_le(b, v);
    return append_raw(b, sizeof b);
}

Status PacketWriter::append_u64(uint64_t v) noexcept {
    uint8_t b[8];
    store_le(b, v);
    return append_raw(b, sizeof b);
}

Status PacketWriter::append_bool(bool v) noexcept {
    return append_u8(v ? 1 : 0);
}

Status PacketWriter::append_sized_bytes(std::span<const uint8_t> bytes) noexcept {
    if (bytes.size() > 0xFFFF) return kValueOutOfBounds;
    // Count and bytes go in together so a refusal leaves no stray count behind.
    if (!started_ || 2 + bytes.size() > capacity() - used_) return kBufferTooSmall;
    uint8_t count[2];
    store_le(count, static_cast<uint16_t>(bytes.size()));
    append_raw(count, sizeof count);
    return append_raw(bytes.data(), bytes.size());
}

Status PacketWriter::append_text(std::string_view text) noexcept {
    text = text.substr(0, text.find('\0'));
    if (!is_valid_utf8(text)) return kInvalidUtf8;
    if (text.size() > kMaxTextLen) return kExceedingStringLengthLimit;
    return append_sized_bytes(std::span{reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

// ---- reader ----

Status PacketReader::parse(std::span<const uint8_t> buffer) noexcept {
    if (buffer.size() < kHeaderLen) return kBufferTooSmall;
    const Header h = read_header(buffer);
    if (buffer.size() - kHeaderLen < h.payload_len) return kBufferTooSmall;
    command_ = h.command;
    payload_ = buffer.subspan(kHeaderLen, h.payload_len);
    cursor_ = 0;
    return kSuccess;
}

Status PacketReader::take_raw(uint8_t* out, size_t n) noexcept {
    if (remaining() < n) return kReadBeyondPayload;
    if (n > 0) std::memcpy(out, payload_.data() + cursor_, n);
    cursor_ += n;
    return kSuccess;
}

Status PacketReader::take_u8(uint8_t& out) noexcept {
    return take_raw(&out, 1);
}

Status PacketReader::take_u16(uint16_t& out) noexcept {
    uint8_t b[2];
    if (const Status s = take_raw(b, sizeof b)) return s;
    out = load_le<uint16_t>(b);
    return kSuccess;
}

Status PacketReader::take_u32(uint32_t& out) noexcept {
    uint8_t b[4];
    if (const Status s = take_raw(b, sizeof b)) return s;
    out = load_le<uint32_t>(b);
    return kSuccess;
}

Status PacketReader::take_u64(uint64_t& out) noexcept {
    uint8_t b[8];
    if (const Status s = take_raw(b, sizeof b)) return s;
    out = load_le<uint64_t>(b);
    return kSuccess;
}

Status PacketReader::take_bool(bool& out) noexcept {
    uint8_t b = 0;
    if (const Status s = take_u8(b)) return s;
    out = b != 0;
    return kSuccess;
}

Status PacketReader::take_sized_bytes(std::span<const uint8_t>& out) noexcept {
    if (remaining() < 2) return kReadBeyondPayload;
    const auto n = load_le<uint16_t>(payload_.data() + cursor_);
    if (remaining() - 2 < n) return kReadBeyondPayload;
    out = payload_.subspan(cursor_ + 2, n);
    cursor_ += 2 + size_t{n};
    return kSuccess;
}

Status PacketReader::take_text(char* field, size_t capacity) noexcept {
    if (!field) return kInvalidPointer;
    if (remaining() < 2) return kReadBeyondPayload;
    const auto n = load_le<uint16_t>(payload_.data() + cursor_);
    if (size_t{n} >= capacity) return kBufferTooSmall;
    if (remaining() - 2 < n) return kReadBeyondPayload;
    const auto bytes = payload_.subspan(cursor_ + 2, n);
    if (!is_valid_utf8(bytes)) return kInvalidUtf8;
    if (n > 0) std::memcpy(field, bytes.data(), n);
    field[n] = '\0';
    cursor_ += 2 + size_t{n};
    return kSuccess;
}

}  // namespace tq::proto
