// The per-device record behind one exclusive lock, shared by a Device and all
// its Interface values.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "client/diagnostics.hpp"
#include "client/error.hpp"
#include "client/tcp_stream.hpp"
#include "net/address.hpp"
#include "protocol/packet.hpp"

namespace tq {

class ConnectionLock;

// Opens a new TCP connection to the device, each attempt bounded by the
// timeout. A connection is reopened after an exchange gave up on its answer.
using Reopen = std::function<TcpStream::IoResult<TcpStream>(std::chrono::nanoseconds timeout)>;

struct DeviceConnection {
    DeviceConnection(TcpStream s, std::chrono::nanoseconds timeout, SocketAddress to = {}, Reopen how = {})
        : stream(std::move(s)), connection_timeout(timeout), address(std::move(to)), reopen(std::move(how)) {}
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    // Takes the lock. Fails at once with FailedToAquireLock when this thread
    // already holds it (a firmware-update callback calling back into the same
    // device would otherwise wait for itself forever) or when it is poisoned.
    // An installed LockWaitHook runs around a wait for it (lock_wait.hpp).
    // Fails at once with ConnectionError, sending nothing, once close() has
    // run, and with an ApiError when the thread's interrupt check ends the
    // wait.
    Result<ConnectionLock> acquire();

    // Takes the lock as acquire() does (so an exchange in flight on another
    // thread ends first), closes the socket and marks the connection closed,
    // also when it is poisoned. Idempotent. Fails only for the thread that
    // holds the lock itself (a firmware-update callback): the update still
    // needs the socket.
    Result<void> close();

    // Everything below is guarded by the lock.
    // Not valid() after an exchange gave up on its answer (a timeout, a
    // packet under another code, a cut or oversized answer, a request sent in
    // part): that answer may still come, and no later request may take it
    // for its own. The next exchange opens a new connection first.
    TcpStream stream;
    std::array<uint8_t, proto::kBufferSize> buffer{};
    // Written by the handshake before the Device is handed out, and again
    // only by a reopen's handshake; atomic so that reading it never has to
    // wait behind a long firmware update.
    std::atomic<uint32_t> protocol_version{0};
    // The client's timeout: each reopened stream's socket timeouts, and what
    // a firmware update puts back when it ends.
    const std::chrono::nanoseconds connection_timeout;
    // Bounds each part of an exchange: the request's write, the answer's
    // header after the request went out, its payload after the header came.
    // The connection timeout, except while a firmware update swaps it.
    std::chrono::nanoseconds exchange_timeout{connection_timeout};
    // Where the device was reached, and how to reach it again; no reopen
    // makes a failed exchange final.
    const SocketAddress address;
    const Reopen reopen;
    // The identity the first handshake learnt; a reopened connection must
    // answer with the same.
    uint64_t ean = 0;
    uint64_t serial_number = 0;
    // Connections reopened so far (read without the lock by tests and soaks).
    std::atomic<uint64_t> reopened{0};

private:
    friend class ConnectionLock;
    void release(bool poison) noexcept;
    // False when the thread's interrupt check ended the wait.
    bool lock_mutex();

    std::timed_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    bool poisoned_ = false;
    // Set under the lock; read before taking it too, so a call on a closed
    // connection never waits.
    std::atomic<bool> closed_{false};
};

// Holds the connection lock. If it is destroyed while an exception unwinds
// past it, the operation was aborted mid-way and the connection is poisoned.
// While it is held, diagnostic lines of this thread concern this device
// (diagnostics.hpp).
class ConnectionLock {
public:
    ConnectionLock(ConnectionLock&& other) noexcept
        : connection_(std::exchange(other.connection_, nullptr)),
          exceptions_(other.exceptions_),
          previous_device_(other.previous_device_) {}
    ConnectionLock& operator=(ConnectionLock&&) = delete;
    ~ConnectionLock() {
        if (connection_ == nullptr) return;
        exchange_diagnostic_device(previous_device_);
        connection_->release(std::uncaught_exceptions() > exceptions_);
    }

    DeviceConnection& connection() const noexcept { return *connection_; }

private:
    friend struct DeviceConnection;
    explicit ConnectionLock(DeviceConnection& c) noexcept
        : connection_(&c),
          exceptions_(std::uncaught_exceptions()),
          previous_device_(exchange_diagnostic_device(&c.address)) {}

    DeviceConnection* connection_;
    int exceptions_;
    const SocketAddress* previous_device_;
};

}  // namespace tq
