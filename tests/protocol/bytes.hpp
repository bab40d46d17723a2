// Byte helpers shared by the protocol tests: packets are written as the hex
// dumps a reader would compare with a capture.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/packet.hpp"

namespace tq::test {

using Bytes = std::vector<uint8_t>;

// "03 00 00 00" -> {3, 0, 0, 0}
inline Bytes hex(std::string_view text) {
    Bytes out;
    std::istringstream in{std::string{text}};
    std::string byte;
    while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

inline std::string to_hex(const uint8_t* data, size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i) out += ' ';
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}
inline std::string to_hex(const Bytes& b) {
    return to_hex(b.data(), b.size());
}

// A connection buffer: the given bytes at offset 0, the rest filled with a
// pattern so a decoder that reads past the packet is noticed.
struct WireBuffer {
    std::array<uint8_t, proto::kBufferSize> data{};
    WireBuffer() { data.fill(0xEE); }
    explicit WireBuffer(const Bytes& b) : WireBuffer() { std::copy(b.begin(), b.end(), data.begin()); }
    std::span<uint8_t> span() { return data; }
    std::span<const uint8_t> cspan() const { return data; }
    std::string first(size_t n) const { return to_hex(data.data(), n); }
};

// The packet header for a payload of n bytes.
inline Bytes header(uint16_t command, size_t n) {
    return {static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8), static_cast<uint8_t>(n),
            static_cast<uint8_t>(n >> 8)};
}

inline Bytes packet(uint16_t command, const Bytes& payload) {
    // Sized up front: GCC 12 warns falsely (-Warray-bounds) on inserting
    // into a freshly built 4-byte vector.
    Bytes out(4 + payload.size());
    const Bytes h = header(command, payload.size());
    std::copy(h.begin(), h.end(), out.begin());
    std::copy(payload.begin(), payload.end(), out.begin() + 4);
    return out;
}

}  // namespace tq::test
