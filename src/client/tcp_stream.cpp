#include "client/tcp_stream.hpp"

#include <algorithm>

#include "client/interrupt.hpp"
#include "client/trace.hpp"

namespace tq {
namespace {

using std::chrono::nanoseconds;

tl::unexpected<int> last_error() {
    return tl::unexpected<int>(os::last_error());
}

// Waits until the socket is ready for reading or writing or the deadline
// passes: 0, os::err::kTimedOut, os::err::kInterrupted when the thread's
// interrupt check says so, or the wait's own error. Hang-up and error
// conditions count as ready; the following send or receive reports them.
int wait_ready(os::Socket fd, bool for_writing, TcpStream::Clock::time_point deadline) {
    const bool checked = interruptible();
    for (;;) {
        auto left = deadline - TcpStream::Clock::now();
        if (left <= nanoseconds::zero()) return os::err::kTimedOut;
        if (checked) left = std::min<nanoseconds>(left, kInterruptPoll);
        const int n = os::wait_ready(fd, for_writing, left);
        if (n > 0) return 0;
        if (n < 0 && os::last_error() != os::err::kInterrupted) return os::last_error();
        if (checked && interrupted()) return os::err::kInterrupted;
    }
}

void close_traced(os::Socket fd) {
    if (fd == os::kNoSocket) return;
    trace::closing(fd);
    os::close_socket(fd);
}

}  // namespace

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
    if (this != &other) {
        close_traced(fd_);
        read_timeout_ = other.read_timeout_;
        fd_ = other.release();
    }
    return *this;
}

TcpStream::~TcpStream() {
    close_traced(fd_);
}

os::Socket TcpStream::release() noexcept {
    const os::Socket fd = fd_;
    fd_ = os::kNoSocket;
    read_timeout_.reset();
    return fd;
}

TcpStream::IoResult<TcpStream> TcpStream::connect(const SocketAddress& address, nanoseconds timeout) {
    TcpStream s(os::open_socket(address.get()->sa_family, SOCK_STREAM, true));
    if (!s.valid()) return last_error();
    if (const int started = os::start_connect(s.fd_, address.get(), static_cast<int>(address.size()))) {
        if (started != os::err::kWouldBlock) return tl::unexpected<int>(started);
        // A zero timeout means none, as it does for the socket's own timeouts.
        const auto deadline = timeout > nanoseconds::zero() ? Clock::now() + timeout : Clock::time_point::max();
        if (const int err = wait_ready(s.fd_, true, deadline)) return tl::unexpected<int>(err);
        if (const int err = os::connect_result(s.fd_)) return tl::unexpected<int>(err);
    }
    if (!os::settle_stream_socket(s.fd_)) return last_error();
    trace::opened(s.fd_);
    return s;
}

TcpStream::IoResult<void> TcpStream::set_read_timeout(Timeout timeout) {
    if (!os::set_timeout(fd_, true, timeout)) return last_error();
    read_timeout_ = os::timeout_as_set(timeout);
    return {};
}

TcpStream::IoResult<void> TcpStream::set_write_timeout(Timeout timeout) {
    if (!os::set_timeout(fd_, false, timeout)) return last_error();
    return {};
}

TcpStream::IoResult<TcpStream::Timeout> TcpStream::read_timeout() const {
    Timeout t;
    if (!os::get_timeout(fd_, true, t)) return last_error();
    return t;
}

TcpStream::IoResult<TcpStream::Timeout> TcpStream::write_timeout() const {
    Timeout t;
    if (!os::get_timeout(fd_, false, t)) return last_error();
    return t;
}

TcpStream::IoResult<void> TcpStream::write_all(std::span<const uint8_t> bytes, Clock::time_point deadline, size_t& done,
                                               Clock::time_point& now) {
    done = 0;
    while (done < bytes.size()) {
        const std::ptrdiff_t n = os::send_now(fd_, bytes.subspan(done));
        if (n > 0) {
            trace::sent(fd_, bytes.subspan(done, static_cast<size_t>(n)));
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return tl::unexpected<int>(os::err::kBrokenPipe);
        if (os::last_error() != os::err::kWouldBlock) return last_error();
        const int err = wait_ready(fd_, true, deadline);
        now = Clock::now();
        if (err) return tl::unexpected<int>(err);
    }
    return {};
}

TcpStream::IoResult<void> TcpStream::read_exact(std::span<uint8_t> bytes, Clock::time_point deadline, size_t& done) {
    done = 0;
    while (done < bytes.size()) {
        const std::ptrdiff_t n = os::receive_now(fd_, bytes.subspan(done));
        if (n > 0) {
            trace::received(fd_, bytes.subspan(done, static_cast<size_t>(n)));
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return tl::unexpected<int>(os::err::kConnectionReset);
        if (os::last_error() != os::err::kWouldBlock) return last_error();
        if (const int err = wait_ready(fd_, false, deadline)) return tl::unexpected<int>(err);
    }
    return {};
}

TcpStream::IoResult<void> TcpStream::await_exact(std::span<uint8_t> bytes, Clock::time_point deadline, size_t& done,
                                                 Clock::time_point now) {
    done = 0;
    // The kernel counts a receive timeout in scheduler ticks and may end it
    // a tick late.
    constexpr auto kTick = std::chrono::milliseconds(10);
    if (os::kPerCallBlocking && !bytes.empty() && read_timeout_ && *read_timeout_ <= deadline - now + kTick &&
        may_block_in_kernel()) {
        const std::ptrdiff_t n = os::receive_blocking(fd_, bytes);
        if (n == 0) return tl::unexpected<int>(os::err::kConnectionReset);
        // A timeout or a signal leaves the rest to read_exact and its deadline.
        const int err = n < 0 ? os::last_error() : 0;
        if (n < 0 && err != os::err::kWouldBlock && err != os::err::kInterrupted) return tl::unexpected<int>(err);
        if (n < 0 && err == os::err::kInterrupted && interrupted()) return tl::unexpected<int>(os::err::kInterrupted);
        if (n > 0) {
            done = static_cast<size_t>(n);
            trace::received(fd_, bytes.first(done));
        }
    }
    size_t more = 0;
    const auto r = read_exact(bytes.subspan(done), deadline, more);
    done += more;
    return r;
}

}  // namespace tq
