// Owning wrapper of one connected TCP socket. Reads and writes are bounded by
// a deadline for the whole transfer; the socket's own receive and send
// timeouts are still set and read back (the firmware update swaps them) but
// bound only single system calls, which a trickling peer can chain for ever.
// Errors are the system's numbers (os::last_error); callers drop them and
// report their own texts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <tl/expected.hpp>

#include "net/address.hpp"
#include "net/platform.hpp"

namespace tq {

class TcpStream {
public:
    using Timeout = std::optional<std::chrono::nanoseconds>;  // nullopt: wait forever
    using Clock = std::chrono::steady_clock;
    template <class T>
    using IoResult = tl::expected<T, int>;

    TcpStream() = default;
    explicit TcpStream(os::Socket fd) noexcept : fd_(fd) {}
    TcpStream(TcpStream&& other) noexcept : read_timeout_(other.read_timeout_) { fd_ = other.release(); }
    TcpStream& operator=(TcpStream&& other) noexcept;
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;
    ~TcpStream();

    // Connects with the attempt bounded by `timeout` (a non-blocking connect
    // and a poll; zero means unbounded), then leaves the socket blocking.
    static IoResult<TcpStream> connect(const SocketAddress& address, std::chrono::nanoseconds timeout);

    os::Socket fd() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ != os::kNoSocket; }
    os::Socket release() noexcept;

    // Zero or nullopt switches the timeout off, as the socket option does.
    IoResult<void> set_read_timeout(Timeout timeout);
    IoResult<void> set_write_timeout(Timeout timeout);
    IoResult<Timeout> read_timeout() const;
    IoResult<Timeout> write_timeout() const;

    // Both bounded by `deadline` as a whole, not per system call: a peer that
    // trickles bytes cannot stretch them. `done` counts the bytes moved, also
    // on failure. Errors: os::err::kTimedOut at the deadline; for reads, end
    // of stream is os::err::kConnectionReset.
    // One send call for the whole packet; more only if the kernel took part
    // of it. Never raises SIGPIPE. A send that takes nothing is
    // os::err::kBrokenPipe.
    // `now` is the caller's latest reading of the clock; a call that has to
    // wait reads the clock again and updates it, so an exchange whose bytes
    // move at once reads the clock only at its start.
    IoResult<void> write_all(std::span<const uint8_t> bytes, Clock::time_point deadline, size_t& done,
                             Clock::time_point& now);
    // Exactly bytes.size() bytes. Data already waiting is taken even when the
    // deadline has passed.
    IoResult<void> read_exact(std::span<uint8_t> bytes, Clock::time_point deadline, size_t& done);
    // As read_exact, for the first read after a request: when the socket's
    // receive timeout, as last set here, ends by the deadline (counted from
    // `now`, the caller's latest reading of the clock), the first
    // receive blocks in the kernel, so an answer that comes in one piece
    // costs one system call instead of a failed receive, a poll and a second
    // receive (not where an interrupt check must be asked on time, see
    // interrupt.hpp). Otherwise, and for whatever is still missing, read_exact.
    IoResult<void> await_exact(std::span<uint8_t> bytes, Clock::time_point deadline, size_t& done,
                               Clock::time_point now);

private:
    os::Socket fd_ = os::kNoSocket;
    Timeout read_timeout_;  // as set through set_read_timeout; nullopt: unknown or none
};

}  // namespace tq
