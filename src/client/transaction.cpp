#include "client/transaction.hpp"

#include <algorithm>
#include <array>
#include <chrono>

#include "protocol/packet.hpp"
#include "protocol/status.hpp"

namespace tq {
namespace {

using Clock = TcpStream::Clock;

using proto::kHeaderLen;
constexpr size_t kMaxPayload = proto::kBufferSize - kHeaderLen;
// Bytes dropped at most before a request when the stream is out of step; a
// late answer is at most one packet, anything beyond that is not ours to eat.
constexpr size_t kResyncLimit = 1 << 20;
constexpr std::string_view kHeaderFailure = "Failed to read packet header";
constexpr std::string_view kPayloadFailure = "Failed to read remaining payload";

Error read_error(std::string_view text) {
    return Error(Error::Kind::TcpStreamReadError, std::string(text));
}

// t + d without overflow: a timeout of years must not wrap into the past.
Clock::time_point later(Clock::time_point t, std::chrono::nanoseconds d) {
    return d >= Clock::time_point::max() - t ? Clock::time_point::max() : t + d;
}

// Reads and drops `count` bytes through `scratch` by `deadline`; on failure
// `count` is what is still missing.
bool skip(TcpStream& s, size_t& count, std::span<uint8_t> scratch, Clock::time_point deadline) {
    while (count > 0) {
        size_t got = 0;
        const auto r = s.read_exact(scratch.first(std::min(count, scratch.size())), deadline, got);
        count -= got;
        if (!r) return false;
    }
    return true;
}

// Reads off the rest of the answer an earlier exchange gave up on, waiting
// for it until its time is up, then drops whatever else is already waiting:
// nothing that arrived before a request is sent can answer it. Whether the
// late answer came or not, the stream counts as in step afterwards, so a
// device that never sends it costs one bounded wait, not every later call.
void catch_up(DeviceConnection& c) {
    // The request already waits in the buffer, so stale bytes go elsewhere.
    std::array<uint8_t, 512> scratch;
    LateAnswer& late = c.late;
    bool header_complete = late.header_have == kHeaderLen;
    if (!header_complete) {
        size_t got = 0;
        const auto rest = std::span<uint8_t>(late.header).subspan(late.header_have);
        header_complete = c.stream.read_exact(rest, late.until, got).has_value();
        if (header_complete) late.payload_left = proto::read_header(late.header).payload_len;
    }
    if (header_complete) skip(c.stream, late.payload_left, scratch, late.until);
    c.stream.discard_pending(scratch, kResyncLimit);
    late = LateAnswer{};
    c.stream_state = StreamState::InStep;
}

// The exchange stops reading before its answer is complete: what is still
// to come belongs to no later request.
void give_up(DeviceConnection& c, size_t header_have, size_t payload_left) {
    std::copy_n(c.buffer.begin(), kHeaderLen, c.late.header.begin());
    c.late.header_have = header_have;
    c.late.payload_left = payload_left;
    c.late.until = later(Clock::now(), c.exchange_timeout);
    c.stream_state = StreamState::OutOfStep;
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
    if (c.stream_state == StreamState::Broken) return tl::unexpected(read_error(kHeaderFailure));
    if (c.stream_state == StreamState::OutOfStep) catch_up(c);

    const auto period = c.exchange_timeout;
    const uint16_t answer_code = static_cast<uint16_t>(proto::read_header(c.buffer).command + 1);
    size_t done = 0;
    // Read once here; the stream reads it again only when it has to wait.
    auto now = Clock::now();
    if (!c.stream.write_all(std::span<const uint8_t>(c.buffer.data(), request_len), later(now, period), done, now)) {
        // The device would read the next request as the rest of this one.
        if (done > 0) c.stream_state = StreamState::Broken;
        return tl::unexpected(Error(Error::Kind::TcpStreamWriteError, name.write_failure_text()));
    }
    const auto sent = now;
    if (!c.stream.await_exact(std::span<uint8_t>(c.buffer.data(), kHeaderLen), later(sent, period), done, now)) {
        give_up(c, done, 0);
        return tl::unexpected(read_error(kHeaderFailure));
    }
    // Any other code is a packet we did not ask for (a late answer the wait
    // before sending missed, or a confused device): ours may still be coming.
    // The decoder reports it as a protocol error; here it only puts the
    // stream out of step, so that nothing takes our answer for its own.
    const auto [code, len] = proto::read_header(c.buffer);
    const bool ours = code == answer_code || code == proto::kErrorResponse;
    const auto payload_deadline = later(sent, 2 * std::min(period, std::chrono::nanoseconds::max() / 2));
    if (len > kMaxPayload) {
        // Cannot be decoded; drop it whole so the next exchange starts at a
        // packet boundary. Failing that, no boundary can be found again.
        size_t left = len;
        if (!skip(c.stream, left, std::span<uint8_t>(c.buffer).subspan(kHeaderLen), payload_deadline)) {
            c.stream_state = StreamState::Broken;
        } else if (!ours) {
            give_up(c, 0, 0);
        }
        return tl::unexpected(read_error(kPayloadFailure));
    }
    if (len > 0 &&
        !c.stream.read_exact(std::span<uint8_t>(c.buffer.data() + kHeaderLen, len), payload_deadline, done)) {
        give_up(c, kHeaderLen, len - done);
        return tl::unexpected(read_error(kPayloadFailure));
    }
    if (!ours) give_up(c, 0, 0);
    return {};
}

}  // namespace tq
