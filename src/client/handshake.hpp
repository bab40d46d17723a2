// The handshake every connection begins with: the protocol version, then
// the EAN and the serial number that name the device. Reopening a connection
// (transaction.hpp's reopen) runs it again and checks the names.
#pragma once

#include <chrono>
#include <cstdint>

#include "client/error.hpp"

namespace tq {

struct DeviceConnection;
class SocketAddress;
class TcpStream;

struct HandshakeIdentity {
    uint64_t ean = 0;
    uint64_t serial_number = 0;
};

// Under the lock, on a fresh stream. Stores the version for the version
// gate, untested: the gate of the EAN request is where an unknown version is
// refused, before anything more is sent.
Result<HandshakeIdentity> handshake(DeviceConnection& c);

// Both socket timeouts; a failure is a diagnostic line (diagnostics.hpp)
// about the device at `address`, not a failed connection (every exchange is
// bounded by its own deadlines anyway).
void set_socket_timeouts(TcpStream& stream, std::chrono::nanoseconds timeout, const SocketAddress& address);

}  // namespace tq
