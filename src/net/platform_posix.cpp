// The platform layer on POSIX systems: Linux and macOS.
#if defined(__APPLE__) && !defined(__APPLE_USE_RFC_3542)
#define __APPLE_USE_RFC_3542  // IPV6_RECVPKTINFO
#endif

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "net/platform.hpp"

namespace tq::os {

namespace err {
const int kWouldBlock = EWOULDBLOCK;
const int kInterrupted = EINTR;
const int kTimedOut = ETIMEDOUT;
const int kConnectionReset = ECONNRESET;
const int kBrokenPipe = EPIPE;
const int kIo = EIO;
const int kConnectionRefused = ECONNREFUSED;
const int kNetworkUnreachable = ENETUNREACH;
const int kHostUnreachable = EHOSTUNREACH;
const int kHostDown = EHOSTDOWN;
const int kAddressNotAvailable = EADDRNOTAVAIL;
const int kAccessDenied = EACCES;
const int kNotPermitted = EPERM;
}  // namespace err

const bool kPerCallBlocking = true;

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;  // SO_NOSIGPIPE on the socket instead
#endif

bool would_block(int e) {
    return e == EAGAIN || e == EWOULDBLOCK;
}

bool set_flag(int fd, int flag, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | flag : flags & ~flag) == 0;
}

timeval to_timeval(Timeout t) {
    using namespace std::chrono;
    if (!t || *t <= nanoseconds::zero()) return timeval{0, 0};
    // Round up: a sub-microsecond timeout must not become "no timeout".
    const auto us = ceil<microseconds>(*t).count();
    return timeval{static_cast<time_t>(us / 1'000'000), static_cast<suseconds_t>(us % 1'000'000)};
}

}  // namespace

void start_networking() noexcept {}

int last_error() noexcept {
    return errno != 0 ? errno : EIO;
}

std::string error_text(int error) {
    return std::strerror(error);
}

Cause cause_of(int error) noexcept {
    switch (error) {
        case ETIMEDOUT:
            return Cause::TimedOut;
        case ECONNRESET:
        case ECONNREFUSED:
        case ECONNABORTED:
        case EPIPE:
        case ENOTCONN:
        case ENETRESET:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH:
            return Cause::ConnectionLost;
        default:
            return Cause::Other;
    }
}

Socket open_socket(int family, int type, bool non_blocking) noexcept {
#if defined(SOCK_CLOEXEC) && defined(SOCK_NONBLOCK)
    return ::socket(family, type | SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0), 0);
#else
    const int fd = ::socket(family, type, 0);
    if (fd < 0) return kNoSocket;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || (non_blocking && !set_flag(fd, O_NONBLOCK, true))) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return kNoSocket;
    }
    return fd;
#endif
}

void close_socket(Socket s) noexcept {
    if (s != kNoSocket) ::close(s);
}

bool settle_stream_socket(Socket s) noexcept {
    return set_flag(s, O_NONBLOCK, false);
}

int start_connect(Socket s, const sockaddr* to, int length) noexcept {
    int rc;
    do {
        rc = ::connect(s, to, static_cast<socklen_t>(length));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return 0;
    return errno == EINPROGRESS ? err::kWouldBlock : last_error();
}

int connect_result(Socket s) noexcept {
    int e = 0;
    socklen_t len = sizeof e;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &len) != 0) return last_error();
    return e;
}

std::ptrdiff_t send_now(Socket s, std::span<const uint8_t> bytes) noexcept {
    for (;;) {
        const ssize_t n = ::send(s, bytes.data(), bytes.size(), kNoSignal | MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) {
            if (n < 0 && would_block(errno)) errno = err::kWouldBlock;
            return n;
        }
    }
}

std::ptrdiff_t receive_now(Socket s, std::span<uint8_t> bytes) noexcept {
    for (;;) {
        const ssize_t n = ::recv(s, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) {
            if (n < 0 && would_block(errno)) errno = err::kWouldBlock;
            return n;
        }
    }
}

std::ptrdiff_t receive_blocking(Socket s, std::span<uint8_t> bytes) noexcept {
    const ssize_t n = ::recv(s, bytes.data(), bytes.size(), 0);
    if (n < 0 && would_block(errno)) errno = err::kWouldBlock;
    return n;
}

int wait_ready(Socket s, bool for_writing, std::chrono::nanoseconds timeout) noexcept {
    using namespace std::chrono;
    pollfd p{s, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
#ifdef __linux__
    const auto secs = duration_cast<seconds>(timeout);
    const timespec ts{static_cast<time_t>(secs.count()), static_cast<long>((timeout - secs).count())};
    const int n = ::ppoll(&p, 1, &ts, nullptr);
#else
    const int n = ::poll(&p, 1, static_cast<int>(ceil<milliseconds>(timeout).count()));
#endif
    return n > 0 ? 1 : n;
}

int wait_readable(std::span<const Socket> sockets, std::span<bool> ready, std::chrono::milliseconds timeout) noexcept {
    // On the stack for the usual few; a simulator's hundreds of listeners
    // take the heap.
    pollfd few[16];
    std::unique_ptr<pollfd[]> many;
    pollfd* fds = few;
    const size_t n = sockets.size();
    if (n > std::size(few)) {
        many.reset(new (std::nothrow) pollfd[n]);
        if (!many) {
            errno = ENOMEM;
            return -1;
        }
        fds = many.get();
    }
    for (size_t i = 0; i < n; ++i) fds[i] = {sockets[i], POLLIN, 0};
    const int wait = timeout == kForever ? -1
                                         : static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, 0x7fffffff));
    const int rc = ::poll(fds, static_cast<nfds_t>(n), wait);
    for (size_t i = 0; i < n; ++i) ready[i] = rc > 0 && (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    return rc;
}

bool bind_socket(Socket s, const sockaddr* address, int length) noexcept {
    return ::bind(s, address, static_cast<socklen_t>(length)) == 0;
}

bool bind_listener(Socket s, const sockaddr* address, int length) noexcept {
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return bind_socket(s, address, length);
}

bool listen_socket(Socket s, int backlog) noexcept {
    return ::listen(s, backlog) == 0;
}

Socket accept_connection(Socket listener) noexcept {
    int fd;
    do {
#ifdef __linux__
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
        fd = ::accept(listener, nullptr, nullptr);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
        }
#endif
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kNoSocket;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void shutdown_socket(Socket s) noexcept {
    ::shutdown(s, SHUT_RDWR);
}

std::ptrdiff_t send_blocking(Socket s, std::span<const uint8_t> bytes) noexcept {
    const ssize_t n = ::send(s, bytes.data(), bytes.size(), kNoSignal);
    if (n < 0 && would_block(errno)) errno = err::kWouldBlock;
    return n;
}

bool set_timeout(Socket s, bool receive, Timeout timeout) noexcept {
    const timeval tv = to_timeval(timeout);
    return ::setsockopt(s, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

Timeout timeout_as_set(Timeout timeout) noexcept {
    const timeval tv = to_timeval(timeout);
    if (tv.tv_sec == 0 && tv.tv_usec == 0) return std::nullopt;
    return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

bool get_timeout(Socket s, bool receive, Timeout& out) noexcept {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (::getsockopt(s, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, &len) != 0) return false;
    if (tv.tv_sec == 0 && tv.tv_usec == 0) {
        out = std::nullopt;
    } else {
        out = std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
    }
    return true;
}

bool local_address(Socket s, sockaddr_storage& out) noexcept {
    socklen_t len = sizeof out;
    return ::getsockname(s, reinterpret_cast<sockaddr*>(&out), &len) == 0;
}

bool peer_address(Socket s, sockaddr_storage& out) noexcept {
    socklen_t len = sizeof out;
    return ::getpeername(s, reinterpret_cast<sockaddr*>(&out), &len) == 0;
}

Waker::Waker() noexcept {
    int fds[2];
#ifdef __linux__
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
#else
    if (::pipe(fds) != 0) return;
    for (const int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        set_flag(fd, O_NONBLOCK, true);
    }
#endif
    socket_ = fds[0];
    other_ = fds[1];
}

Waker::~Waker() {
    close_socket(socket_);
    close_socket(other_);
}

bool Waker::wake() noexcept {
    const char stop = 1;
    // A full pipe wakes the reader as well as one more byte would.
    return ::write(other_, &stop, 1) == 1 || would_block(errno);
}

void Waker::drain() noexcept {
    char bytes[64];
    while (::read(socket_, bytes, sizeof bytes) > 0) {
    }
}

std::vector<InterfaceAddress> interface_addresses() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr) continue;
        const int family = it->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        InterfaceAddress a;
        a.index = ::if_nametoindex(it->ifa_name);
        if (a.index == 0) continue;
        a.up = (it->ifa_flags & IFF_UP) != 0;
        a.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
        a.multicast = (it->ifa_flags & IFF_MULTICAST) != 0;
        a.family = family;
        if (family == AF_INET) {
            std::memcpy(a.address.data(), &reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr, 4);
            if (it->ifa_netmask)
                std::memcpy(a.mask.data(), &reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr, 4);
        } else {
            std::memcpy(a.address.data(), &reinterpret_cast<const sockaddr_in6*>(it->ifa_addr)->sin6_addr, 16);
            if (it->ifa_netmask)
                std::memcpy(a.mask.data(), &reinterpret_cast<const sockaddr_in6*>(it->ifa_netmask)->sin6_addr, 16);
        }
        out.push_back(a);
    }
    ::freeifaddrs(list);
    return out;
}

unsigned interface_index(const std::string& name) noexcept {
    return ::if_nametoindex(name.c_str());
}

std::string interface_name(unsigned index) {
    char name[IF_NAMESIZE + 1] = {};
    return ::if_indextoname(index, name) ? std::string(name) : std::string();
}

bool report_arrival_interface(Socket s, int family) noexcept {
    const int one = 1;
    if (family == AF_INET) return ::setsockopt(s, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) == 0;
    return ::setsockopt(s, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one) == 0;
}

Received receive_datagram(Socket s, std::span<uint8_t> buffer) noexcept {
    alignas(cmsghdr) char control[256];
    Received out;
    iovec io{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &out.from;
    message.msg_namelen = sizeof out.from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(s, &message, MSG_DONTWAIT);
    if (n < 0) return out;
    out.size = n;
    out.cut = (message.msg_flags & MSG_TRUNC) != 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            out.interface = static_cast<unsigned>(info.ipi_ifindex);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            out.interface = info.ipi6_ifindex;
        }
    }
    return out;
}

bool send_datagram(Socket s, const sockaddr_storage& to, std::span<const uint8_t> message) noexcept {
    const socklen_t size = to.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    return ::sendto(s, message.data(), message.size(), kNoSignal, reinterpret_cast<const sockaddr*>(&to), size) ==
           static_cast<ssize_t>(message.size());
}

void share_port(Socket s) noexcept {
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
}

void prepare_multicast(Socket s, int family, int hops) noexcept {
    const int one = 1;
    if (family == AF_INET) {
        const unsigned char ttl = static_cast<unsigned char>(hops);
        const int ttl_int = hops;
        // Linux takes an int, BSDs a byte.
        if (::setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl_int, sizeof ttl_int) != 0)
            ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
    } else {
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        ::setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
        ::setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &one, sizeof one);
    }
}

bool multicast_via(Socket s, int family, unsigned index, const in_addr& v4_source) noexcept {
    if (family == AF_INET6) return ::setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) == 0;
#ifdef __linux__
    ip_mreqn via{};
    via.imr_ifindex = static_cast<int>(index);
    via.imr_address = v4_source;
    return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) == 0;
#else
    return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &v4_source, sizeof v4_source) == 0;
#endif
}

bool join_group(Socket s, int family, std::span<const uint8_t> group, unsigned index,
                const in_addr& v4_address) noexcept {
    if (family == AF_INET6) {
        ipv6_mreq join{};
        std::memcpy(&join.ipv6mr_multiaddr, group.data(), 16);
        join.ipv6mr_interface = index;
        return ::setsockopt(s, IPPROTO_IPV6, IPV6_JOIN_GROUP, &join, sizeof join) == 0;
    }
#ifdef __linux__
    (void)v4_address;
    ip_mreqn join{};
    std::memcpy(&join.imr_multiaddr, group.data(), 4);
    join.imr_ifindex = static_cast<int>(index);
#else
    ip_mreq join{};
    std::memcpy(&join.imr_multiaddr, group.data(), 4);
    join.imr_interface = v4_address;
#endif
    return ::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0;
}

void grow_receive_buffer(Socket s, int bytes) noexcept {
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

unsigned long thread_ident() noexcept {
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(pthread_self())));
}

unsigned long process_id() noexcept {
    return static_cast<unsigned long>(::getpid());
}

// ---- stop requests ----

namespace {

// Set by the handler, which may only store to a lock-free atomic and write
// to a pipe; wait_for_stop reads the pipe.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
int g_stop_pipe[2] = {-1, -1};

extern "C" void record_stop_request(int /*signal*/) {
    const int saved = errno;
    g_stop_requested.store(true, std::memory_order_relaxed);
    const char byte = 1;
    (void)!::write(g_stop_pipe[1], &byte, 1);
    errno = saved;
}

void drain_stop_pipe() {
    char bytes[64];
    while (::read(g_stop_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

struct StopHook::Saved {
    struct sigaction int_action {};
    struct sigaction term_action {};
};

StopHook::StopHook() : saved_(new Saved) {
    static const bool piped = [] {
        if (::pipe(g_stop_pipe) != 0) return false;
        for (const int fd : g_stop_pipe) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            set_flag(fd, O_NONBLOCK, true);
        }
        return true;
    }();
    (void)piped;
    g_stop_requested.store(false, std::memory_order_relaxed);
    drain_stop_pipe();
    struct sigaction action {};
    action.sa_handler = record_stop_request;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &saved_->int_action);
    ::sigaction(SIGTERM, &action, &saved_->term_action);
}

StopHook::~StopHook() {
    ::sigaction(SIGINT, &saved_->int_action, nullptr);
    ::sigaction(SIGTERM, &saved_->term_action, nullptr);
    delete saved_;
}

bool stop_requested() noexcept {
    return g_stop_requested.load(std::memory_order_relaxed);
}

namespace {
sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void wait_for_stop() noexcept {
    const sigset_t set = stop_signals();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // a request pending meanwhile arrives now
    while (!stop_requested()) {
        pollfd p{g_stop_pipe[0], POLLIN, 0};
        ::poll(&p, 1, -1);  // EINTR: the handler ran, the flag tells
        drain_stop_pipe();
    }
}

void keep_stop_requests_off_this_thread() noexcept {
    const sigset_t set = stop_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void raise_stop_request() noexcept {
    ::raise(SIGINT);
}

void ignore_broken_pipe() noexcept {
    ::signal(SIGPIPE, SIG_IGN);
}

// ---- files and standard output ----

File File::open_read(const std::string& path) noexcept {
    // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    return File(fd < 0 ? kNoHandle : fd, true);
}

File File::borrow(int crt_descriptor) noexcept {
    return File(crt_descriptor, false);
}

File::File(File&& other) noexcept : handle_(other.handle_), owned_(other.owned_) {
    other.handle_ = kNoHandle;
}

File::~File() {
    if (owned_ && handle_ != kNoHandle) ::close(static_cast<int>(handle_));
}

bool File::describe(bool& regular, uint64_t& size) const noexcept {
    struct stat st {};
    if (::fstat(static_cast<int>(handle_), &st) != 0) return false;
    regular = S_ISREG(st.st_mode);
    size = regular ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

std::ptrdiff_t File::read(std::span<uint8_t> into) const noexcept {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(handle_), into.data(), into.size());
        if (n >= 0 || errno != EINTR) return n;
    }
}

void write_stdout(std::string_view bytes) noexcept {
    std::fflush(stdout);
    (void)write_descriptor(STDOUT_FILENO, bytes);  // nowhere to report a failed write
}

bool write_descriptor(int crt_descriptor, std::string_view bytes) noexcept {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(crt_descriptor, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool is_terminal(int crt_descriptor) noexcept {
    return ::isatty(crt_descriptor) == 1;
}

int divert_stdout_to_stderr() noexcept {
    const int original = ::dup(STDOUT_FILENO);
    if (original < 0) return -1;
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        ::close(original);
        return -1;
    }
    return original;
}

}  // namespace tq::os
