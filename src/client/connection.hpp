// The per-device record behind one exclusive lock, shared by a Device and all
// its Interface values.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

#include "client/error.hpp"
#include "client/tcp_stream.hpp"
#include "protocol/packet.hpp"

namespace tq {

class ConnectionLock;

// Where the byte stream stands between two exchanges.
enum class StreamState : uint8_t {
    // The next byte to arrive starts the answer to the next request.
    InStep,
    // An exchange gave up on its answer (timeout, or a packet with another
    // command's code): the rest of it may still come and must not be taken
    // for the next answer. The next exchange reads it off first, waiting a
    // bounded time.
    OutOfStep,
    // Where the next answer starts can no longer be found (a request went out
    // only in part, or an oversized answer could not be skipped in time):
    // every exchange fails at once with the read error.
    Broken,
};

// The part of an answer an exchange left unread. A header counts as started
// once any byte of it is in; `header_have` 0 waits for a whole packet.
struct LateAnswer {
    std::array<uint8_t, 4> header{};
    size_t header_have = 0;
    size_t payload_left = 0;  // once the header is complete
    // How long the next exchange waits for it: one exchange timeout after
    // the exchange that left it gave up, however late the next call comes.
    std::chrono::steady_clock::time_point until{};
};

struct DeviceConnection {
    DeviceConnection(TcpStream s, std::chrono::nanoseconds timeout)
        : stream(std::move(s)), connection_timeout(timeout) {}
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    // Takes the lock. Fails at once with FailedToAquireLock when this thread
    // already holds it (a firmware-update callback calling back into the same
    // device would otherwise wait for itself forever) or when it is poisoned.
    // While it has to wait, an installed LockWaitHook lets the embedding drop
    // its own global lock.
    // Fails at once with ConnectionError, sending nothing, once close() has
    // run.
    Result<ConnectionLock> acquire();

    // Takes the lock as acquire() does (so an exchange in flight on another
    // thread ends first), closes the socket and marks the connection closed,
    // also when it is poisoned. Idempotent. Fails only for the thread that
    // holds the lock itself (a firmware-update callback): the update still
    // needs the socket.
    Result<void> close();

    // Everything below is guarded by the lock.
    TcpStream stream;
    std::array<uint8_t, proto::kBufferSize> buffer{};
    // Written once by the handshake before the Device is handed out; atomic
    // so that reading it never has to wait behind a long firmware update.
    std::atomic<uint32_t> protocol_version{0};
    // The client's timeout, restored after a firmware update when the socket
    // cannot tell which timeout was in force before.
    const std::chrono::nanoseconds connection_timeout;
    // Bounds each part of an exchange: the request's write, the answer's
    // header after the request went out, its payload after one more period.
    // The connection timeout, except while a firmware update swaps it.
    std::chrono::nanoseconds exchange_timeout{connection_timeout};
    StreamState stream_state = StreamState::InStep;
    // While OutOfStep: the rest of the answer an exchange gave up on.
    LateAnswer late;

private:
    friend class ConnectionLock;
    void release(bool poison) noexcept;
    void lock_mutex();

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    bool poisoned_ = false;
    // Set under the lock; read before taking it too, so a call on a closed
    // connection never waits.
    std::atomic<bool> closed_{false};
};

// Holds the connection lock. If it is destroyed while an exception unwinds
// past it, the operation was aborted mid-way and the connection is poisoned.
class ConnectionLock {
public:
    ConnectionLock(ConnectionLock&& other) noexcept
        : connection_(std::exchange(other.connection_, nullptr)), exceptions_(other.exceptions_) {}
    ConnectionLock& operator=(ConnectionLock&&) = delete;
    ~ConnectionLock() {
        if (connection_ != nullptr) connection_->release(std::uncaught_exceptions() > exceptions_);
    }

    DeviceConnection& connection() const noexcept { return *connection_; }

private:
    friend struct DeviceConnection;
    explicit ConnectionLock(DeviceConnection& c) noexcept : connection_(&c), exceptions_(std::uncaught_exceptions()) {}

    DeviceConnection* connection_;
    int exceptions_;
};

}  // namespace tq
