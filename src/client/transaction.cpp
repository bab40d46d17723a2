#include "client/transaction.hpp"

#include <algorithm>
#include <array>

namespace tq {
namespace {

constexpr size_t kHeaderSize = 4;
constexpr size_t kMaxPayload = wire::kBufferSize - kHeaderSize;
// Bytes dropped at most before a request when the stream is out of step; a
// late answer is at most one packet, anything beyond that is not ours to eat.
constexpr size_t kResyncLimit = 1 << 20;

Error read_error(std::string_view text) {
    return Error(Error::Kind::TcpStreamReadError, std::string(text));
}

// Reads and drops `count` bytes; each receive is bounded by the socket's
// receive timeout, so a peer that stops sending cannot hold us longer.
bool discard_exact(DeviceConnection& c, size_t count) {
    while (count > 0) {
        const size_t n = std::min(count, c.buffer.size());
        if (!c.stream.read_exact(std::span<uint8_t>(c.buffer.data(), n))) return false;
        count -= n;
    }
    return true;
}

}  // namespace

std::string OpName::write_failure_text() const {
    std::string text = "Failed to send ";
    text += scope == Scope::Device ? "tq_sdk_client::device::Device::" : "tq_sdk_client::interface::Interface::";
    text += op;
    text += "::{{closure}} request";
    return text;
}

Result<void> exchange(DeviceConnection& c, size_t request_len, const OpName& name) {
    if (c.out_of_step) {
        // The request already waits in the buffer, so stale bytes go elsewhere.
        std::array<uint8_t, 512> scratch;
        c.stream.discard_pending(scratch, kResyncLimit);
        c.out_of_step = false;
    }
    if (!c.stream.write_all(std::span<const uint8_t>(c.buffer.data(), request_len))) {
        c.out_of_step = true;
        return tl::unexpected(Error(Error::Kind::TcpStreamWriteError, name.write_failure_text()));
    }
    if (!c.stream.read_exact(std::span<uint8_t>(c.buffer.data(), kHeaderSize))) {
        c.out_of_step = true;
        return tl::unexpected(read_error("Failed to read packet header"));
    }
    const size_t len = static_cast<size_t>(c.buffer[2]) | static_cast<size_t>(c.buffer[3]) << 8;
    if (len > kMaxPayload) {
        // Cannot be ours to decode; drop it whole so the next exchange starts
        // at a packet boundary.
        if (!discard_exact(c, len)) c.out_of_step = true;
        return tl::unexpected(read_error("Failed to read remaining payload"));
    }
    if (len > 0 && !c.stream.read_exact(std::span<uint8_t>(c.buffer.data() + kHeaderSize, len))) {
        c.out_of_step = true;
        return tl::unexpected(read_error("Failed to read remaining payload"));
    }
    return {};
}

}  // namespace tq
