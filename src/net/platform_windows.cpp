// The platform layer on Windows: Winsock 2, the IP Helper API, Win32 files.
// Follows Windows' documented behaviour, which is stricter than emulators':
// timeouts are DWORD milliseconds, a socket's blocking mode is one state (no
// per-call flags), a connect that fails is seen by select() in the exception
// set, and a multicast socket binds to the wildcard address.
#include "net/platform.hpp"

#include <iphlpapi.h>
#include <mswsock.h>
#include <windows.h>

#include <io.h>
#undef interface

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace tq::os {

namespace err {
const int kWouldBlock = WSAEWOULDBLOCK;
const int kInterrupted = WSAEINTR;
const int kTimedOut = WSAETIMEDOUT;
const int kConnectionReset = WSAECONNRESET;
const int kBrokenPipe = WSAESHUTDOWN;
const int kIo = WSAENETDOWN;
const int kConnectionRefused = WSAECONNREFUSED;
const int kNetworkUnreachable = WSAENETUNREACH;
const int kHostUnreachable = WSAEHOSTUNREACH;
const int kHostDown = WSAEHOSTDOWN;
const int kAddressNotAvailable = WSAEADDRNOTAVAIL;
const int kAccessDenied = WSAEACCES;
const int kNotPermitted = WSAEACCES;
}  // namespace err

const bool kPerCallBlocking = false;

namespace {

DWORD to_milliseconds(Timeout t) {
    using namespace std::chrono;
    if (!t || *t <= nanoseconds::zero()) return 0;
    const auto ms = ceil<milliseconds>(*t).count();
    return ms >= static_cast<long long>(MAXDWORD) ? MAXDWORD - 1 : static_cast<DWORD>(ms);
}

timeval to_timeval(std::chrono::nanoseconds t) {
    using namespace std::chrono;
    if (t < nanoseconds::zero()) t = nanoseconds::zero();
    const auto us = ceil<microseconds>(t).count();
    const long long secs = std::min<long long>(us / 1'000'000, 0x7fffffff);
    return timeval{static_cast<long>(secs), static_cast<long>(us % 1'000'000)};
}

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                        nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

LPFN_WSARECVMSG recv_msg_function(Socket s) {
    static LPFN_WSARECVMSG function = nullptr;
    static std::once_flag once;
    std::call_once(once, [s] {
        GUID id = WSAID_WSARECVMSG;
        DWORD bytes = 0;
        ::WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function, sizeof function, &bytes,
                   nullptr, nullptr);
    });
    return function;
}

}  // namespace

void start_networking() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

int last_error() noexcept {
    const int e = ::WSAGetLastError();
    return e != 0 ? e : WSAENETDOWN;
}

std::string error_text(int error) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
        nullptr);
    std::string out = n > 0 && text ? std::string(text, n) : "Unknown error " + std::to_string(error);
    if (text) ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    return out;
}

Cause cause_of(int error) noexcept {
    switch (error) {
        case WSAETIMEDOUT:
            return Cause::TimedOut;
        case WSAECONNRESET:
        case WSAECONNREFUSED:
        case WSAECONNABORTED:
        case WSAESHUTDOWN:
        case WSAENOTCONN:
        case WSAENETRESET:
        case WSAENETDOWN:
        case WSAENETUNREACH:
        case WSAEHOSTDOWN:
        case WSAEHOSTUNREACH:
            return Cause::ConnectionLost;
        default:
            return Cause::Other;
    }
}

Socket open_socket(int family, int type, bool non_blocking) noexcept {
    start_networking();
    const Socket s = ::WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return kNoSocket;
    u_long on = non_blocking ? 1 : 0;
    if (non_blocking && ::ioctlsocket(s, FIONBIO, &on) != 0) {
        const int e = ::WSAGetLastError();
        ::closesocket(s);
        ::WSASetLastError(e);
        return kNoSocket;
    }
    return s;
}

void close_socket(Socket s) noexcept {
    if (s != kNoSocket) ::closesocket(s);
}

bool settle_stream_socket(Socket) noexcept {
    return true;  // stays non-blocking: Windows has no per-call flag
}

int start_connect(Socket s, const sockaddr* to, int length) noexcept {
    if (::connect(s, to, length) == 0) return 0;
    const int e = ::WSAGetLastError();
    // A non-blocking connect under way is WSAEWOULDBLOCK here, not EINPROGRESS.
    return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS ? err::kWouldBlock : e;
}

int connect_result(Socket s) noexcept {
    int e = 0;
    int len = sizeof e;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&e), &len) != 0) return last_error();
    return e;
}

std::ptrdiff_t send_now(Socket s, std::span<const uint8_t> bytes) noexcept {
    const int len = static_cast<int>(std::min<size_t>(bytes.size(), 0x7fffffff));
    const int n = ::send(s, reinterpret_cast<const char*>(bytes.data()), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

std::ptrdiff_t receive_now(Socket s, std::span<uint8_t> bytes) noexcept {
    const int len = static_cast<int>(std::min<size_t>(bytes.size(), 0x7fffffff));
    const int n = ::recv(s, reinterpret_cast<char*>(bytes.data()), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

std::ptrdiff_t receive_blocking(Socket s, std::span<uint8_t> bytes) noexcept {
    return receive_now(s, bytes);  // blocks on a socket left blocking
}

// select(), not WSAPoll: WSAPoll does not report a failed connect on every
// Windows version; select() puts it in the exception set.
int wait_ready(Socket s, bool for_writing, std::chrono::nanoseconds timeout) noexcept {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv = to_timeval(timeout);
    const int n = ::select(0, for_writing ? nullptr : &ready, for_writing ? &ready : nullptr, &failed, &tv);
    if (n == SOCKET_ERROR) return -1;
    return n > 0 ? 1 : 0;
}

int wait_readable(std::span<const Socket> sockets, std::span<bool> ready, std::chrono::milliseconds timeout) noexcept {
    const bool forever = timeout == kForever;
    if (sockets.size() > FD_SETSIZE) {
        // More than an fd_set holds (a simulator's listeners): WSAPoll, which
        // reports readability as select() does (only a failed connect it
        // may miss, and none is waited for here).
        std::unique_ptr<WSAPOLLFD[]> fds(new (std::nothrow) WSAPOLLFD[sockets.size()]);
        if (!fds) {
            ::WSASetLastError(WSAENOBUFS);
            return -1;
        }
        for (size_t i = 0; i < sockets.size(); ++i) fds[i] = {sockets[i], POLLRDNORM, 0};
        const INT wait = forever ? -1 : static_cast<INT>(std::clamp<int64_t>(timeout.count(), 0, 0x7fffffff));
        const int n = ::WSAPoll(fds.get(), static_cast<ULONG>(sockets.size()), wait);
        for (size_t i = 0; i < sockets.size(); ++i)
            ready[i] = n > 0 && (fds[i].revents & (POLLRDNORM | POLLERR | POLLHUP | POLLNVAL)) != 0;
        return n == SOCKET_ERROR ? -1 : n;
    }
    fd_set readable;
    FD_ZERO(&readable);
    for (const Socket s : sockets) {
        if (s != kNoSocket) FD_SET(s, &readable);
    }
    timeval tv = to_timeval(std::max(forever ? std::chrono::milliseconds::zero() : timeout,
                                      std::chrono::milliseconds::zero()));
    // select() with no socket at all fails on Windows; there is always the waker.
    const int n = ::select(0, &readable, nullptr, nullptr, forever ? nullptr : &tv);
    for (size_t i = 0; i < sockets.size(); ++i)
        ready[i] = n > 0 && sockets[i] != kNoSocket && FD_ISSET(sockets[i], &readable);
    return n == SOCKET_ERROR ? -1 : n;
}

bool bind_socket(Socket s, const sockaddr* address, int length) noexcept {
    return ::bind(s, address, length) == 0;
}

bool bind_listener(Socket s, const sockaddr* address, int length) noexcept {
    // A closed listener's port is free at once on Windows (TIME_WAIT stays
    // with the connections); what must not happen is a second socket
    // binding the same port, which SO_REUSEADDR here would allow.
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    return bind_socket(s, address, length);
}

bool listen_socket(Socket s, int backlog) noexcept {
    return ::listen(s, backlog) == 0;
}

Socket accept_connection(Socket listener) noexcept {
    const Socket s = ::accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) return kNoSocket;
    // An accepted socket is not created with WSA_FLAG_NO_HANDLE_INHERIT.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return s;
}

void shutdown_socket(Socket s) noexcept {
    ::shutdown(s, SD_BOTH);
}

std::ptrdiff_t send_blocking(Socket s, std::span<const uint8_t> bytes) noexcept {
    return send_now(s, bytes);  // blocks on a blocking socket
}

bool set_timeout(Socket s, bool receive, Timeout timeout) noexcept {
    // A DWORD of milliseconds: a timeval would be taken as "no timeout".
    const DWORD ms = to_milliseconds(timeout);
    return ::setsockopt(s, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
                        sizeof ms) == 0;
}

Timeout timeout_as_set(Timeout timeout) noexcept {
    const DWORD ms = to_milliseconds(timeout);
    if (ms == 0) return std::nullopt;
    return std::chrono::milliseconds(ms);
}

bool get_timeout(Socket s, bool receive, Timeout& out) noexcept {
    DWORD ms = 0;
    int len = sizeof ms;
    if (::getsockopt(s, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, reinterpret_cast<char*>(&ms), &len) != 0)
        return false;
    out = ms == 0 ? Timeout{} : Timeout{std::chrono::milliseconds(ms)};
    return true;
}

bool local_address(Socket s, sockaddr_storage& out) noexcept {
    int len = sizeof out;
    return ::getsockname(s, reinterpret_cast<sockaddr*>(&out), &len) == 0;
}

bool peer_address(Socket s, sockaddr_storage& out) noexcept {
    int len = sizeof out;
    return ::getpeername(s, reinterpret_cast<sockaddr*>(&out), &len) == 0;
}

Waker::Waker() noexcept {
    socket_ = open_socket(AF_INET, SOCK_DGRAM, true);
    if (socket_ == kNoSocket) return;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof self;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        ::connect(socket_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        close_socket(socket_);
        socket_ = kNoSocket;
    }
}

Waker::~Waker() {
    close_socket(socket_);
}

bool Waker::wake() noexcept {
    const char stop = 1;
    return ::send(socket_, &stop, 1, 0) == 1 || ::WSAGetLastError() == WSAEWOULDBLOCK;
}

void Waker::drain() noexcept {
    char bytes[64];
    while (::recv(socket_, bytes, sizeof bytes, 0) > 0) {
    }
}

std::vector<InterfaceAddress> interface_addresses() {
    std::vector<InterfaceAddress> out;
    ULONG size = 16 * 1024;
    std::unique_ptr<uint8_t[]> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.reset(new (std::nothrow) uint8_t[size]);
        if (!buffer) return out;
        rc = ::GetAdaptersAddresses(AF_UNSPEC,
                                    GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
    }
    if (rc != NO_ERROR) return out;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()); a != nullptr; a = a->Next) {
        for (auto* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (sa == nullptr || (sa->sa_family != AF_INET && sa->sa_family != AF_INET6)) continue;
            InterfaceAddress entry;
            entry.family = sa->sa_family;
            // IPv4 and IPv6 number an adapter on their own.
            entry.index = entry.family == AF_INET ? a->IfIndex : a->Ipv6IfIndex;
            if (entry.index == 0) continue;
            entry.up = a->OperStatus == IfOperStatusUp;
            entry.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
            entry.multicast = (a->Flags & IP_ADAPTER_NO_MULTICAST) == 0;
            const unsigned bits = u->OnLinkPrefixLength;
            const size_t len = entry.family == AF_INET ? 4 : 16;
            if (entry.family == AF_INET) {
                std::memcpy(entry.address.data(), &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
            } else {
                std::memcpy(entry.address.data(), &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
            }
            for (size_t i = 0; i < len; ++i) {
                const unsigned left = bits > 8 * i ? bits - 8 * static_cast<unsigned>(i) : 0;
                entry.mask[i] = static_cast<uint8_t>(left >= 8 ? 0xFF : (0xFF << (8 - left)) & 0xFF);
            }
            out.push_back(entry);
        }
    }
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
    const DWORD one = 1;
    if (family == AF_INET)
        return ::setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&one), sizeof one) == 0;
    return ::setsockopt(s, IPPROTO_IPV6, IPV6_PKTINFO, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

Received receive_datagram(Socket s, std::span<uint8_t> buffer) noexcept {
    Received out;
    const LPFN_WSARECVMSG recv_msg = recv_msg_function(s);
    if (recv_msg == nullptr) return out;
    alignas(WSACMSGHDR) char control[256];
    WSABUF data{static_cast<ULONG>(buffer.size()), reinterpret_cast<char*>(buffer.data())};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&out.from);
    message.namelen = sizeof out.from;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control = WSABUF{sizeof control, control};
    DWORD received = 0;
    if (recv_msg(s, &message, &received, nullptr, nullptr) != 0) {
        // A datagram longer than the buffer: read in part, the rest dropped.
        if (::WSAGetLastError() != WSAEMSGSIZE) return out;
        out.cut = true;
        received = static_cast<DWORD>(buffer.size());
    }
    out.size = static_cast<std::ptrdiff_t>(received);
    out.cut = out.cut || (message.dwFlags & MSG_TRUNC) != 0;
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr; c = WSA_CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info{};
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            out.interface = info.ipi_ifindex;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            IN6_PKTINFO info{};
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            out.interface = info.ipi6_ifindex;
        }
    }
    return out;
}

bool send_datagram(Socket s, const sockaddr_storage& to, std::span<const uint8_t> message) noexcept {
    const int size = to.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    return ::sendto(s, reinterpret_cast<const char*>(message.data()), static_cast<int>(message.size()), 0,
                    reinterpret_cast<const sockaddr*>(&to), size) == static_cast<int>(message.size());
}

void share_port(Socket s) noexcept {
    // Windows has no SO_REUSEPORT; SO_REUSEADDR lets every mDNS stack bind 5353.
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
}

void prepare_multicast(Socket s, int family, int hops) noexcept {
    const DWORD one = 1;
    const DWORD ttl = static_cast<DWORD>(hops);
    if (family == AF_INET) {
        ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&ttl), sizeof ttl);
        ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&one), sizeof one);
    } else {
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one);
        ::setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, reinterpret_cast<const char*>(&ttl), sizeof ttl);
        ::setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, reinterpret_cast<const char*>(&one), sizeof one);
    }
}

bool multicast_via(Socket s, int family, unsigned index, const in_addr& v4_source) noexcept {
    if (family == AF_INET6) {
        const DWORD i = index;
        return ::setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_IF, reinterpret_cast<const char*>(&i), sizeof i) == 0;
    }
    // IPv4 takes the interface's address (an index would go as 0.0.0.x).
    return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&v4_source),
                        sizeof v4_source) == 0;
}

bool join_group(Socket s, int family, std::span<const uint8_t> group, unsigned index,
                const in_addr& v4_address) noexcept {
    if (family == AF_INET6) {
        ipv6_mreq join{};
        std::memcpy(&join.ipv6mr_multiaddr, group.data(), 16);
        join.ipv6mr_interface = index;
        return ::setsockopt(s, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&join), sizeof join) ==
               0;
    }
    ip_mreq join{};
    std::memcpy(&join.imr_multiaddr, group.data(), 4);
    join.imr_interface = v4_address;
    return ::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&join), sizeof join) == 0;
}

void grow_receive_buffer(Socket s, int bytes) noexcept {
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

unsigned long thread_ident() noexcept {
    return ::GetCurrentThreadId();
}

unsigned long process_id() noexcept {
    return ::GetCurrentProcessId();
}

// ---- stop requests ----

namespace {

std::atomic<bool> g_stop_requested{false};
std::atomic<int> g_stop_hooks{0};

HANDLE stop_event() {
    // Manual reset: every waiter sees it until the next hook.
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Runs in a thread the system starts for the console's event.
BOOL WINAPI record_stop_request(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            g_stop_requested.store(true);
            ::SetEvent(stop_event());
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

struct StopHook::Saved {};

StopHook::StopHook() : saved_(nullptr) {
    g_stop_requested.store(false);
    ::ResetEvent(stop_event());
    ::SetConsoleCtrlHandler(record_stop_request, TRUE);
    g_stop_hooks.fetch_add(1);
}

StopHook::~StopHook() {
    g_stop_hooks.fetch_sub(1);
    ::SetConsoleCtrlHandler(record_stop_request, FALSE);
}

bool stop_requested() noexcept {
    return g_stop_requested.load();
}

void wait_for_stop() noexcept {
    while (!stop_requested()) ::WaitForSingleObject(stop_event(), INFINITE);
}

void keep_stop_requests_off_this_thread() noexcept {}

void raise_stop_request() noexcept {
    if (g_stop_hooks.load() > 0) record_stop_request(CTRL_C_EVENT);
}

void ignore_broken_pipe() noexcept {}

// ---- files and standard output ----

File File::open_read(const std::string& path) noexcept {
    const std::wstring name = wide(path);
    if (name.empty()) return File(kNoHandle, true);
    // Shared with writers and deleters, as a POSIX open would be; a named
    // pipe without a server fails at once rather than waiting.
    const HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return File(h == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<std::intptr_t>(h), true);
}

File File::borrow(int crt_descriptor) noexcept {
    return File(::_get_osfhandle(crt_descriptor), false);
}

File::File(File&& other) noexcept : handle_(other.handle_), owned_(other.owned_) {
    other.handle_ = kNoHandle;
}

File::~File() {
    if (owned_ && handle_ != kNoHandle) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool File::describe(bool& regular, uint64_t& size) const noexcept {
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    regular = ::GetFileType(h) == FILE_TYPE_DISK;
    size = 0;
    if (!regular) return true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info)) return false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        regular = false;
        return true;
    }
    size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

std::ptrdiff_t File::read(std::span<uint8_t> into) const noexcept {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(into.size(), 1u << 30));
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), into.data(), want, &n, nullptr)) return -1;
    return static_cast<std::ptrdiff_t>(n);
}

void write_stdout(std::string_view bytes) noexcept {
    std::fflush(stdout);
    (void)write_descriptor(::_fileno(stdout), bytes);
}

bool write_descriptor(int crt_descriptor, std::string_view bytes) noexcept {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const int n = ::_write(crt_descriptor, p, static_cast<unsigned>(std::min<size_t>(left, 1u << 30)));
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool is_terminal(int crt_descriptor) noexcept {
    return ::_isatty(crt_descriptor) != 0;
}

int divert_stdout_to_stderr() noexcept {
    const int original = ::_dup(1);
    if (original < 0) return -1;
    if (::_dup2(2, 1) != 0) {
        ::_close(original);
        return -1;
    }
    return original;
}

}  // namespace tq::os
