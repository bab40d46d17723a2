// The trace: every TCP exchange of the process written to a pcapng file that
// Wireshark and tshark read, one TCP stream per connection with its real
// addresses and ports, the bytes exactly as they were sent and received, and
// the time each moved. The TCP and IP headers around them are made up
// (a handshake when a connection opens, a FIN when this side closes it), so
// that a reader sees ordinary streams.
//
// Off by default. While off, each hook costs one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include <tl/expected.hpp>

namespace tq::trace {

// Starts writing to `path` (created or truncated), ending a trace already
// running. The error is the errno of the failed open.
tl::expected<void, int> start(const std::string& path);
// Ends the trace and closes its file; nothing when none runs.
void stop();

namespace detail {
inline std::atomic<bool> on{false};
void opened(int fd);
void moved(int fd, std::span<const uint8_t> bytes, bool sent);
void closed(int fd);
}  // namespace detail

inline bool running() noexcept {
    return detail::on.load(std::memory_order_relaxed);
}

// Hooks of the TCP stream, for the socket `fd`: connected, bytes sent or
// received, about to be closed. A connection opened before the trace started
// is taken up at its next bytes.
inline void opened(int fd) {
    if (running()) detail::opened(fd);
}
inline void sent(int fd, std::span<const uint8_t> bytes) {
    if (running()) detail::moved(fd, bytes, true);
}
inline void received(int fd, std::span<const uint8_t> bytes) {
    if (running()) detail::moved(fd, bytes, false);
}
inline void closing(int fd) {
    if (running()) detail::closed(fd);
}

}  // namespace tq::trace
