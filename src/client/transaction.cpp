#include "client/transaction.hpp"

#include <chrono>

#include "protocol/packet.hpp"
#include "protocol/status.hpp"

namespace tq {
namespace {

using Clock = TcpStream::Clock;

using proto::kHeaderLen;
constexpr size_t kMaxPayload = proto::kBufferSize - kHeaderLen;
// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr std::string_view kHeaderFailure = "Failed to read packet header";
constexpr std::string_view kPayloadFailure = "Failed to read remaining payload";

// `cause`: the stream's errno (ETIMEDOUT, ECONNRESET, ...), kept beside the
// fixed text so callers can tell a silent device from a lost connection.
Error read_error(std::string_view text, int cause = 0) {
    return Error(Error::Kind::TcpStreamReadError, std::string(text)).with_os_error(cause);
}

// t + d without overflow: a timeout of years must not wrap into the past.
Clock::time_point later(Clock::time_point t, std::chrono::nanoseconds d) {
    return d >= Clock::time_point::max() - t ? Clock::time_point::max() : t + d;
}

// The exchange stops before its answer is known to be complete, or has
// sent only part of its request: whatever still comes on this stream belongs
// to no later request. The protocol carries no request ids, so nothing could
// tell a late answer from the next one under the same code; a new
// connection cannot receive it.
tl::unexpected<Error> abandon(DeviceConnection& c, Error e) {
    c.stream = TcpStream{};
    return tl::unexpected(std::move(e));
}

}  // namespace

// Fixed texts: callers match on them; keep verbatim, misspellings included.
std::string OpName::write_failure_text() const {
    std::string text = "Failed to send ";
    text += scope == Scope::Device ? "tq_sdk_client::device::Device::" : "tq_sdk_client::interface::Interface::";
    text += op;
    text += "::{{closure}} request";
    return text;
}

Result<void> exchange(DeviceConnection& c, size_t request_len, const OpName& name) {
    const auto period = c.exchange_timeout;
    const uint16_t answer_code = static_cast<uint16_t>(proto::read_header(c.buffer).command + 1);
    size_t done = 0;
    // Read once here; the stream reads it again only when it has to wait.
    auto now = Clock::now();
    if (auto sent = c.stream.write_all(std::span<const uint8_t>(c.buffer.data(), request_len), later(now, period),
                                       done, now);
        !sent) {
        return abandon(c, Error(Error::Kind::TcpStreamWriteError, name.write_failure_text()).with_os_error(sent.error()));
    }
    if (auto header = c.stream.await_exact(std::span<uint8_t>(c.buffer.data(), kHeaderLen), later(now, period), done,
                                           now);
        !header) {
        return abandon(c, read_error(kHeaderFailure, header.error()));
    }
    const auto [code, len] = proto::read_header(c.buffer);
    // Cannot be decoded, and its end may be far off.
    if (len > kMaxPayload) return abandon(c, read_error(kPayloadFailure));
    if (len > 0) {
        if (auto payload = c.stream.read_exact(std::span<uint8_t>(c.buffer.data() + kHeaderLen, len),
                                               later(Clock::now(), period), done);
            !payload) {
            return abandon(c, read_error(kPayloadFailure, payload.error()));
        }
    }
    // Any other code is a packet we did not ask for (a late answer, or a
    // confused device): ours may still be coming. The decoder reports it as
    // a protocol error; the stream goes, so that nothing takes our answer
    // for its own.
    if (code != answer_code && code != proto::kErrorResponse) c.stream = TcpStream{};
    return {};
}

}  // namespace tq
