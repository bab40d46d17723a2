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
#include "protocol/codec.hpp"

namespace tq {

class ConnectionLock;

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
    std::array<uint8_t, wire::kBufferSize> buffer{};
    // Written once by the handshake before the Device is handed out; atomic
    // so that reading it never has to wait behind a long firmware update.
    std::atomic<uint32_t> protocol_version{0};
    // The client's timeout, restored after a firmware update when the socket
    // cannot tell which timeout was in force before.
    const std::chrono::nanoseconds connection_timeout;
    // A read or write failed part-way: bytes of an old answer may still be on
    // their way and must not be taken for the next one.
    bool out_of_step = false;

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
