// The operating system behind one interface: sockets, their errors, waits
// and timeouts, the list of network interfaces, firmware files and standard
// output. POSIX systems (Linux, macOS) and Windows (Winsock) implement it in
// platform_posix.cpp and platform_windows.cpp; nothing else in the client or
// the tools includes a system header of its own or asks which system it runs
// on.
//
// Error numbers stay the system's own (errno, or Winsock's WSA codes), so that
// a message can quote them; the ones code reacts to are named in `err`.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// The COM headers' "interface" keyword would rename every field so called.
#undef interface
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace tq::os {

#ifdef _WIN32
using Socket = SOCKET;
inline constexpr Socket kNoSocket = INVALID_SOCKET;
inline constexpr bool kWindows = true;  // for the few choices beyond sockets (where files go)
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
inline constexpr bool kWindows = false;
#endif

namespace err {
extern const int kWouldBlock;       // a non-blocking call that would have waited
extern const int kInterrupted;      // a signal, or the caller's interrupt check
extern const int kTimedOut;         // a deadline passed
extern const int kConnectionReset;  // the peer closed or reset the stream
extern const int kBrokenPipe;       // a send the peer will never take
extern const int kIo;               // a failure the system gave no number for
// Why a connect failed, as a user is told.
extern const int kConnectionRefused;
extern const int kNetworkUnreachable;
extern const int kHostUnreachable;
extern const int kHostDown;
extern const int kAddressNotAvailable;
extern const int kAccessDenied;  // POSIX: EACCES
extern const int kNotPermitted;  // POSIX: EPERM (a firewall); Windows: as kAccessDenied
}  // namespace err

// Winsock's start-up, once per process (nothing elsewhere); every socket
// function here runs it, name lookups call it first.
void start_networking() noexcept;

// The number of the calling thread's last failed socket or file call.
int last_error() noexcept;
// The system's text for an error number ("Connection refused").
std::string error_text(int error);
// What a socket error says of the peer: it did not answer in time, the
// connection went (reset, refused, aborted, unreachable), or neither.
enum class Cause { Other, TimedOut, ConnectionLost };
Cause cause_of(int error) noexcept;

// Opens a socket (not inherited by child processes), non-blocking if asked.
// kNoSocket on failure, with last_error() set. Starts Winsock on first use.
Socket open_socket(int family, int type, bool non_blocking) noexcept;
void close_socket(Socket s) noexcept;

// Whether a socket's calls may block or not call by call (POSIX). Where they
// may not (Windows), a stream socket stays non-blocking for good and every
// wait goes through wait_ready.
extern const bool kPerCallBlocking;
// Leaves a connected stream socket as the stream wants it: blocking where
// kPerCallBlocking, else non-blocking.
bool settle_stream_socket(Socket s) noexcept;

// Starts a non-blocking connect: 0 when connected at once, kWouldBlock while
// it goes on (wait_ready for writing, then connect_result), else the error.
int start_connect(Socket s, const sockaddr* to, int length) noexcept;
// The outcome of a connect that wait_ready reported: 0 or the error.
int connect_result(Socket s) noexcept;

// One call moving bytes without waiting (where kPerCallBlocking; on a
// non-blocking socket anyway). The count, 0 for the peer's orderly end (a
// receive), -1 with last_error() set. A send never raises SIGPIPE.
std::ptrdiff_t send_now(Socket s, std::span<const uint8_t> bytes) noexcept;
std::ptrdiff_t receive_now(Socket s, std::span<uint8_t> bytes) noexcept;
// A receive that blocks in the kernel, bounded by the receive timeout (where
// kPerCallBlocking, or on a socket left blocking).
std::ptrdiff_t receive_blocking(Socket s, std::span<uint8_t> bytes) noexcept;

// Waits until one socket can be read (or written), at most `timeout`: 1 when
// ready (an error or hang-up counts as ready), 0 when the time ran out, -1
// with last_error() set.
int wait_ready(Socket s, bool for_writing, std::chrono::nanoseconds timeout) noexcept;
// Waits until any of `sockets` can be read, at most `timeout` (kForever: no
// limit); sets `ready` (same size) for those that can. Any number of sockets.
// The count, or -1 with last_error() set.
inline constexpr std::chrono::milliseconds kForever = std::chrono::milliseconds::max();
int wait_readable(std::span<const Socket> sockets, std::span<bool> ready, std::chrono::milliseconds timeout) noexcept;

// The socket's receive or send timeout (SO_RCVTIMEO, SO_SNDTIMEO): nullopt
// or zero means none. A timeout shorter than the system counts in is rounded
// up, never down to "none". Errors as last_error().
using Timeout = std::optional<std::chrono::nanoseconds>;
bool set_timeout(Socket s, bool receive, Timeout timeout) noexcept;
// What set_timeout stores for `timeout`: rounded up to the system's unit,
// nullopt for none.
Timeout timeout_as_set(Timeout timeout) noexcept;
bool get_timeout(Socket s, bool receive, Timeout& out) noexcept;

// ---- listening and serving ----

// Binds to `address`. bind_listener lets a port whose last connection is in
// TIME_WAIT be taken again (POSIX SO_REUSEADDR) but never shares it with
// another socket (Windows: SO_EXCLUSIVEADDRUSE, as its SO_REUSEADDR would
// let a second socket take a bound port over).
bool bind_socket(Socket s, const sockaddr* address, int length) noexcept;
bool bind_listener(Socket s, const sockaddr* address, int length) noexcept;
bool listen_socket(Socket s, int backlog) noexcept;
// Accepts one connection of a blocking listener: blocking, not inherited,
// Nagle's algorithm off. kNoSocket with last_error() set.
Socket accept_connection(Socket listener) noexcept;
// Ends both directions of a connection. POSIX: also returns a call blocked
// on it in another thread; Windows does not, so a thread that must be
// stopped waits in wait_readable together with a Waker.
void shutdown_socket(Socket s) noexcept;
// One call on a blocking socket moving what it can: the count, 0 for the
// peer's end (a receive), -1 with last_error() set. A send never raises
// SIGPIPE.
std::ptrdiff_t send_blocking(Socket s, std::span<const uint8_t> bytes) noexcept;

// The socket's own address and its peer's.
bool local_address(Socket s, sockaddr_storage& out) noexcept;
bool peer_address(Socket s, sockaddr_storage& out) noexcept;

// What wakes a thread waiting in wait_readable: a pipe (POSIX), a UDP socket
// on the loopback address that sends to itself (Windows). wake() may be
// called from any thread; drain() empties it.
class Waker {
public:
    Waker() noexcept;
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    bool valid() const noexcept { return socket_ != kNoSocket; }
    Socket socket() const noexcept { return socket_; }
    bool wake() noexcept;
    void drain() noexcept;

private:
    Socket socket_ = kNoSocket;  // the end waited on
    Socket other_ = kNoSocket;   // the end written to, where it is another
};

// ---- network interfaces ----

// One address of an interface, with the interface's state.
struct InterfaceAddress {
    unsigned index = 0;  // IPv4 and IPv6 may number one interface differently (Windows)
    bool up = false;
    bool loopback = false;
    bool multicast = false;
    int family = 0;  // AF_INET or AF_INET6
    std::array<uint8_t, 16> address{};
    std::array<uint8_t, 16> mask{};
};
// Every address of every interface, in the system's order.
std::vector<InterfaceAddress> interface_addresses();
// The index of the interface called `name`, 0 if there is none, and back
// ("" for an index without an interface).
unsigned interface_index(const std::string& name) noexcept;
std::string interface_name(unsigned index);

// ---- datagrams with their arrival interface ----

// Asks the system to report each datagram's arrival interface.
bool report_arrival_interface(Socket s, int family) noexcept;
// One datagram read without waiting; size -1 once none is queued (or on an
// error). A datagram longer than the buffer is read in part, `cut` set.
struct Received {
    std::ptrdiff_t size = -1;
    bool cut = false;
    sockaddr_storage from{};
    unsigned interface = 0;
};
Received receive_datagram(Socket s, std::span<uint8_t> buffer) noexcept;
bool send_datagram(Socket s, const sockaddr_storage& to, std::span<const uint8_t> message) noexcept;
// Shares a UDP port with the host's other mDNS stacks.
void share_port(Socket s) noexcept;
// Multicast sending: hop limit, looped back to this host's sockets, and for
// IPv6 only IPv6. Best effort, as a socket that refuses still works.
void prepare_multicast(Socket s, int family, int hops) noexcept;
// Where multicast goes out: the interface `index`, with `v4_source` as the
// source address for IPv4 (so loopback does not send from 0.0.0.0).
bool multicast_via(Socket s, int family, unsigned index, const in_addr& v4_source) noexcept;
// Joins the group (4 or 16 bytes) on one interface.
bool join_group(Socket s, int family, std::span<const uint8_t> group, unsigned index, const in_addr& v4_address) noexcept;
// A larger receive buffer, for many answers at once.
void grow_receive_buffer(Socket s, int bytes) noexcept;

// ---- threads ----

// The calling thread's number as the system gives it: what Python's
// threading.get_ident() reports for the same thread.
unsigned long thread_ident() noexcept;

// The process's number, as the system gives it.
unsigned long process_id() noexcept;

// ---- stop requests: Ctrl-C and SIGTERM ----

// While a StopHook lives, Ctrl-C and SIGTERM (Windows: Ctrl-C, Ctrl-Break
// and the console closing) do not end the process but are recorded:
// stop_requested() turns true and wait_for_stop() returns. Blocking socket
// calls resume after the request (POSIX: SA_RESTART; waits in poll return
// kInterrupted). The handling before comes back when the hook goes.
class StopHook {
public:
    StopHook();
    ~StopHook();
    StopHook(const StopHook&) = delete;
    StopHook& operator=(const StopHook&) = delete;

private:
    struct Saved;
    Saved* saved_;
};
// Whether a request arrived since the innermost live hook was made.
bool stop_requested() noexcept;
// Blocks until a request arrives (returns at once if one has). The calling
// thread takes the requests from then on, even if kept off before.
void wait_for_stop() noexcept;
// Keeps the requests off the calling thread and the threads it starts from
// then on (POSIX: blocks the signals), so that their calls are never cut
// short by one. Nothing to do on Windows, where the console's handler runs in
// a thread of its own.
void keep_stop_requests_off_this_thread() noexcept;
// Delivers a request as Ctrl-C would (POSIX: SIGINT to this process; Windows:
// to the live hooks only, as the console's event goes to every process
// attached to it).
void raise_stop_request() noexcept;
// Writing to a closed pipe or socket fails with an error rather than ending
// the process (POSIX: SIGPIPE ignored; Windows has no such signal).
void ignore_broken_pipe() noexcept;

// ---- files and standard output ----

// An open file, read through the system, not the C library.
class File {
public:
    // Opens `path` (UTF-8) for reading without ever waiting: a FIFO without a
    // writer opens at once (and is then refused as not regular). Not valid on
    // failure.
    static File open_read(const std::string& path) noexcept;
    // A descriptor of the C runtime (fileno), left open when this File goes.
    static File borrow(int crt_descriptor) noexcept;

    File(File&& other) noexcept;
    File& operator=(File&&) = delete;
    File(const File&) = delete;
    ~File();

    bool valid() const noexcept { return handle_ != kNoHandle; }
    // Whether it is a regular file and, if so, its size. False on an error.
    bool describe(bool& regular, uint64_t& size) const noexcept;
    // One read: the count, 0 at the end, -1 on an error.
    std::ptrdiff_t read(std::span<uint8_t> into) const noexcept;

private:
    static constexpr std::intptr_t kNoHandle = -1;
    File(std::intptr_t handle, bool owned) noexcept : handle_(handle), owned_(owned) {}
    std::intptr_t handle_ = kNoHandle;  // a descriptor, or a Windows HANDLE
    bool owned_ = false;
};

// Writes all of `bytes` to the process's standard output, past the C
// library's buffer (flushed first). Errors are dropped.
void write_stdout(std::string_view bytes) noexcept;
// Writes all of `bytes` to a descriptor of the C runtime; false on an error.
bool write_descriptor(int crt_descriptor, std::string_view bytes) noexcept;
// Whether a descriptor of the C runtime is a terminal (a console).
bool is_terminal(int crt_descriptor) noexcept;
// Points standard output (descriptor 1) at standard error and returns a new
// descriptor of what standard output was; -1 (nothing changed) on failure.
int divert_stdout_to_stderr() noexcept;

}  // namespace tq::os
