#include "client/tcp_stream.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "client/interrupt.hpp"
#include "client/trace.hpp"

namespace tq {
namespace {

using std::chrono::nanoseconds;

timeval to_timeval(TcpStream::Timeout t) {
    if (!t || *t <= nanoseconds::zero()) return timeval{0, 0};
    // Round up: a sub-microsecond timeout must not become "no timeout".
    const auto us = std::chrono::ceil<std::chrono::microseconds>(*t).count();
    return timeval{static_cast<time_t>(us / 1'000'000), static_cast<suseconds_t>(us % 1'000'000)};
}

TcpStream::Timeout from_timeval(const timeval& tv) {
    if (tv.tv_sec == 0 && tv.tv_usec == 0) return std::nullopt;
    return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

tl::unexpected<int> last_error() {
    return tl::unexpected<int>(errno != 0 ? errno : EIO);
}

// Waits until the socket is ready for `events` or the deadline passes:
// 0, ETIMEDOUT, EINTR when the thread's interrupt check says so, or the
// poll's own error. Hang-up and error conditions count as ready; the
// following send or recv reports them.
int wait_ready(int fd, short events, TcpStream::Clock::time_point deadline) {
    const bool checked = interruptible();
    for (;;) {
        auto left = deadline - TcpStream::Clock::now();
        if (left <= nanoseconds::zero()) return ETIMEDOUT;
        if (checked) left = std::min<nanoseconds>(left, kInterruptPoll);
        const auto s = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec ts{static_cast<time_t>(s.count()), static_cast<long>((left - s).count())};
        pollfd p{fd, events, 0};
        const int n = ::ppoll(&p, 1, &ts, nullptr);
        if (n > 0) return 0;
        if (n < 0 && errno != EINTR) return errno;
        if (checked && interrupted()) return EINTR;
    }
}

}  // namespace

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            trace::closing(fd_);
            ::close(fd_);
        }
        read_timeout_ = other.read_timeout_;
        fd_ = other.release();
    }
    return *this;
}

TcpStream::~TcpStream() {
    if (fd_ >= 0) {
        trace::closing(fd_);
        ::close(fd_);
    }
}

int TcpStream::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    read_timeout_.reset();
    return fd;
}

TcpStream::IoResult<TcpStream> TcpStream::connect(const SocketAddress& address, nanoseconds timeout) {
    TcpStream s(::socket(address.get()->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.valid()) return last_error();
    int rc;
    do {
        rc = ::connect(s.fd_, address.get(), address.size());
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno != EINPROGRESS) return last_error();
        // A zero timeout means none, as it does for the socket's own timeouts.
        const auto deadline = timeout > nanoseconds::zero() ? Clock::now() + timeout : Clock::time_point::max();
        if (const int err = wait_ready(s.fd_, POLLOUT, deadline)) return tl::unexpected<int>(err);
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s.fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return last_error();
        if (err != 0) return tl::unexpected<int>(err);
    }
    const int flags = ::fcntl(s.fd_, F_GETFL);
    if (flags < 0 || ::fcntl(s.fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return last_error();
    trace::opened(s.fd_);
    return s;
}

TcpStream::IoResult<void> TcpStream::set_read_timeout(Timeout timeout) {
    const timeval tv = to_timeval(timeout);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return last_error();
    read_timeout_ = from_timeval(tv);
    return {};
}

TcpStream::IoResult<void> TcpStream::set_write_timeout(Timeout timeout) {
    const timeval tv = to_timeval(timeout);
    if (::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return last_error();
    return {};
}

TcpStream::IoResult<TcpStream::Timeout> TcpStream::read_timeout() const {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (::getsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0) return last_error();
    return from_timeval(tv);
}

TcpStream::IoResult<TcpStream::Timeout> TcpStream::write_timeout() const {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (::getsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0) return last_error();
    return from_timeval(tv);
}

TcpStream::IoResult<void> TcpStream::write_all(std::span<const uint8_t> bytes, Clock::time_point deadline, size_t& done,
                                               Clock::time_point& now) {
    done = 0;
    while (done < bytes.size()) {
        // MSG_NOSIGNAL: a peer that has gone must give EPIPE, not kill the process.
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            trace::sent(fd_, bytes.subspan(done, static_cast<size_t>(n)));
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return tl::unexpected<int>(EPIPE);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return last_error();
        const int err = wait_ready(fd_, POLLOUT, deadline);
        now = Clock::now();
        if (err) return tl::unexpected<int>(err);
    }
    return {};
}

TcpStream::IoResult<void> TcpStream::read_exact(std::span<uint8_t> bytes, Clock::time_point deadline, size_t& done) {
    done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::recv(fd_, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT);
        if (n > 0) {
            trace::received(fd_, bytes.subspan(done, static_cast<size_t>(n)));
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return tl::unexpected<int>(ECONNRESET);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return last_error();
        if (const int err = wait_ready(fd_, POLLIN, deadline)) return tl::unexpected<int>(err);
    }
    return {};
}

TcpStream::IoResult<void> TcpStream::await_exact(std::span<uint8_t> bytes, Clock::time_point deadline, size_t& done,
                                                 Clock::time_point now) {
    done = 0;
    // The kernel counts a receive timeout in scheduler ticks and may end it
    // a tick late.
    constexpr auto kTick = std::chrono::milliseconds(10);
    if (!bytes.empty() && read_timeout_ && *read_timeout_ <= deadline - now + kTick && may_block_in_kernel()) {
        const ssize_t n = ::recv(fd_, bytes.data(), bytes.size(), 0);
        if (n == 0) return tl::unexpected<int>(ECONNRESET);
        // A timeout or a signal leaves the rest to read_exact and its deadline.
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return last_error();
        if (n < 0 && errno == EINTR && interrupted()) return tl::unexpected<int>(EINTR);
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
