#include "protocol/protocol_base.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

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

// ---- packet ----

Packet::Packet(std::pmr::memory_resource* memory) noexcept : memory_(memory) {}

Packet::~Packet() {
    release();
}

Packet::Packet(Packet&& other) noexcept
    : memory_(other.memory_),
      data_(std::exchange(other.data_, nullptr)),
      used_(std::exchange(other.used_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      cursor_(std::exchange(other.cursor_, 0)),
      command_(std::exchange(other.command_, 0)) {}

Packet& Packet::operator=(Packet&& other) noexcept {
    if (this != &other) {
        release();
        memory_ = other.memory_;
        data_ = std::exchange(other.data_, nullptr);
        used_ = std::exchange(other.used_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        cursor_ = std::exchange(other.cursor_, 0);
        command_ = std::exchange(other.command_, 0);
    }
    return *this;
}

uint8_t* Packet::allocate(size_t n) const noexcept {
    if (!memory_) return static_cast<uint8_t*>(::operator new(n, std::nothrow));
    try {
        return static_cast<uint8_t*>(memory_->allocate(n, 1));
    } catch (...) {
        return nullptr;
    }
}

void Packet::deallocate(uint8_t* block, size_t n) const noexcept {
    if (!memory_)
        ::operator delete(block);
    else
        memory_->deallocate(block, n, 1);
}

void Packet::release() noexcept {
    if (data_) deallocate(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
    used_ = 0;
    cursor_ = 0;
}

Status Packet::start(uint16_t command, size_t reserved_payload_size) noexcept {
    const size_t reserve = std::min(reserved_payload_size, kMaxPayloadLen);
    uint8_t* block = nullptr;
    if (reserve > 0 && !(block = allocate(reserve))) return kMemoryError;
    release();
    command_ = command;
    data_ = block;
    capacity_ = reserve;
    return kSuccess;
}

Status Packet::grow(size_t n) noexcept {
    if (capacity_ - used_ >= n) return kSuccess;
    const size_t new_capacity = std::max(capacity_ == 0 ? size_t{1} : 2 * capacity_, used_ + n);
    uint8_t* block = allocate(new_capacity);
    if (!block) return kMemoryError;
    if (used_ > 0) std::memcpy(block, data_, used_);
    if (data_) deallocate(data_, capacity_);
    data_ = block;
    capacity_ = new_capacity;
    return kSuccess;
}

Status Packet::append_raw(const uint8_t* bytes, size_t n) noexcept {
    if (used_ + n > kMaxPayloadLen) return kBufferTooSmall;
    if (const Status s = grow(n)) return s;
    if (n > 0) std::memcpy(data_ + used_, bytes, n);
    used_ += n;
    return kSuccess;
}

Status Packet::append_u8(uint8_t v) noexcept {
    return append_raw(&v, 1);
}

Status Packet::append_u16(uint16_t v) noexcept {
    uint8_t b[2];
    store_le(b, v);
    return append_raw(b, sizeof b);
}

Status Packet::append_u32(uint32_t v) noexcept {
    uint8_t b[4];
    store_le(b, v);
    return append_raw(b, sizeof b);
}

Status Packet::append_u64(uint64_t v) noexcept {
    uint8_t b[8];
    store_le(b, v);
    return append_raw(b, sizeof b);
}

Status Packet::append_bool(bool v) noexcept {
    return append_u8(v ? 1 : 0);
}

Status Packet::append_bytes(std::span<const uint8_t> bytes) noexcept {
    return append_raw(bytes.data(), bytes.size());
}

Status Packet::append_sized_bytes(std::span<const uint8_t> bytes) noexcept {
    if (bytes.size() > 0xFFFF) return kValueOutOfBounds;
    // Count and bytes go in together so a refusal leaves no stray count behind.
    if (used_ + 2 + bytes.size() > kMaxPayloadLen) return kBufferTooSmall;
    if (const Status s = grow(2 + bytes.size())) return s;
    store_le(data_ + used_, static_cast<uint16_t>(bytes.size()));
    if (!bytes.empty()) std::memcpy(data_ + used_ + 2, bytes.data(), bytes.size());
    used_ += 2 + bytes.size();
    return kSuccess;
}

Status Packet::append_text(std::string_view text) noexcept {
    text = text.substr(0, text.find('\0'));
    if (!is_valid_utf8(text)) return kInvalidUtf8;
    if (text.size() > kMaxTextLen) return kExceedingStringLengthLimit;
    return append_sized_bytes(std::span{reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

Status Packet::serialise(std::span<uint8_t> buffer) const noexcept {
    if (buffer.size() < packet_len()) return kBufferTooSmall;
    store_le(buffer.data(), command_);
    store_le(buffer.data() + 2, static_cast<uint16_t>(used_));
    if (used_ > 0) std::memcpy(buffer.data() + kHeaderLen, data_, used_);
    return kSuccess;
}

Status Packet::parse(std::span<const uint8_t> buffer) noexcept {
    if (buffer.size() < kHeaderLen) return kBufferTooSmall;
    const auto command = load_le<uint16_t>(buffer.data());
    const auto length = load_le<uint16_t>(buffer.data() + 2);
    uint8_t* block = nullptr;
    if (length > 0) {
        if (!(block = allocate(length))) return kMemoryError;
        if (buffer.size() < kHeaderLen + length) {
            deallocate(block, length);
            return kBufferTooSmall;
        }
        std::memcpy(block, buffer.data() + kHeaderLen, length);
    }
    release();
    command_ = command;
    data_ = block;
    capacity_ = used_ = length;
    return kSuccess;
}

Status Packet::take_raw(uint8_t* out, size_t n) noexcept {
    if (remaining() < n) return kReadBeyondPayload;
    if (n > 0) std::memcpy(out, data_ + cursor_, n);
    cursor_ += n;
    return kSuccess;
}

Status Packet::take_u8(uint8_t& out) noexcept {
    return take_raw(&out, 1);
}

Status Packet::take_u16(uint16_t& out) noexcept {
    uint8_t b[2];
    if (const Status s = take_raw(b, sizeof b)) return s;
    out = load_le<uint16_t>(b);
    return kSuccess;
}

Status Packet::take_u32(uint32_t& out) noexcept {
    uint8_t b[4];
    if (const Status s = take_raw(b, sizeof b)) return s;
    out = load_le<uint32_t>(b);
    return kSuccess;
}

Status Packet::take_u64(uint64_t& out) noexcept {
    uint8_t b[8];
    if (const Status s = take_raw(b, sizeof b)) return s;
    out = load_le<uint64_t>(b);
    return kSuccess;
}

Status Packet::take_bool(bool& out) noexcept {
    uint8_t b = 0;
    if (const Status s = take_u8(b)) return s;
    out = b != 0;
    return kSuccess;
}

Status Packet::take_bytes(std::span<uint8_t> out) noexcept {
    return take_raw(out.data(), out.size());
}

Status Packet::take_sized_bytes(std::span<const uint8_t>& out) noexcept {
    if (remaining() < 2) return kReadBeyondPayload;
    const auto n = load_le<uint16_t>(data_ + cursor_);
    if (remaining() - 2 < n) return kReadBeyondPayload;
    out = {data_ + cursor_ + 2, n};
    cursor_ += 2 + size_t{n};
    return kSuccess;
}

Status Packet::take_text(char* field, size_t capacity) noexcept {
    if (!field) return kInvalidPointer;
    if (remaining() < 2) return kReadBeyondPayload;
    const auto n = load_le<uint16_t>(data_ + cursor_);
    if (size_t{n} >= capacity) return kBufferTooSmall;
    if (remaining() - 2 < n) return kReadBeyondPayload;
    const std::span<const uint8_t> bytes{data_ + cursor_ + 2, n};
    if (!is_valid_utf8(bytes)) return kInvalidUtf8;
    if (n > 0) std::memcpy(field, bytes.data(), n);
    field[n] = '\0';
    cursor_ += 2 + size_t{n};
    return kSuccess;
}

}  // namespace tq::proto
