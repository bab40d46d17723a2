// The handshake every connection begins with (protocol version, EAN, serial
// number), and reopening a connection that an exchange gave up on.
#include <string>

#include "client/connection.hpp"
#include "client/diagnostics.hpp"
#include "client/ean.hpp"
#include "client/handshake.hpp"
#include "client/tcp_stream.hpp"
#include "client/transaction.hpp"

namespace tq {
namespace {

std::string os_error_text(int err) {
    return os::error_text(err) + " (os error " + std::to_string(err) + ")";
}

std::string identity_text(uint64_t ean, uint64_t serial) {
    return "EAN " + format_ean(ean) + ", serial number " + std::to_string(serial);
}

// One handshake exchange. Each step runs on a stream the one before left
// open: a step that fails ends the handshake.
template <Command C>
Result<proto::Reply<C>> step(DeviceConnection& c, std::string_view op) {
    if (auto sent = send_request<C>(c, device_op(op)); !sent) return tl::unexpected(std::move(sent.error()));
    return receive_reply<C>(c);
}

}  // namespace

// Fixed texts: callers match on them; keep verbatim, misspellings included.
void set_socket_timeouts(TcpStream& stream, std::chrono::nanoseconds timeout, const SocketAddress& address) {
    if (auto r = stream.set_read_timeout(timeout); !r) {
        report_line("Failed to set TCP read timeout " + os_error_text(r.error()), address);
    }
    if (auto r = stream.set_write_timeout(timeout); !r) {
        report_line("Failed to set TCP write timeout " + os_error_text(r.error()), address);
    }
}

// Fixed texts: callers match on them; keep verbatim, misspellings included.
Result<HandshakeIdentity> handshake(DeviceConnection& c) {
    auto version = step<Command::GetVersion>(c, "update_protocol_version");
    if (!version) return tl::unexpected(std::move(version.error()));
    c.protocol_version.store(*version, std::memory_order_relaxed);
    auto ean = step<Command::GetEan>(c, "update_ean");
    if (!ean) return tl::unexpected(std::move(ean.error()));
    auto serial = step<Command::GetSerialNumber>(c, "update_serial_number");
    if (!serial) return tl::unexpected(std::move(serial.error()));
    return HandshakeIdentity{*ean, *serial};
}

Result<void> reopen(DeviceConnection& c, const OpName& name) {
    // `cause`: the errno behind it (the connect's, or the handshake's
    // transfer's), 0 when the device answered but is not this one.
    auto failed = [&](const std::string& why, int cause = 0) {
        return tl::unexpected(Error(Error::Kind::TcpStreamWriteError, name.write_failure_text())
                                  .with_detail("cannot reconnect to " + c.address.to_string() + ": " + why)
                                  .with_os_error(cause));
    };
    if (!c.reopen) return failed("the connection cannot be reopened");
    auto stream = c.reopen(c.connection_timeout);
    if (!stream) return failed(os_error_text(stream.error()), stream.error());
    set_socket_timeouts(*stream, c.connection_timeout, c.address);
    c.stream = std::move(*stream);
    const uint32_t version = c.protocol_version.load(std::memory_order_relaxed);
    auto id = handshake(c);
    if (id && id->ean == c.ean && id->serial_number == c.serial_number) {
        c.reopened.fetch_add(1, std::memory_order_relaxed);
        return {};
    }
    // Whatever answered is not this Device: the next call tries again.
    c.stream = TcpStream{};
    c.protocol_version.store(version, std::memory_order_relaxed);
    if (!id) return failed("the handshake failed: " + id.error().debug_text(), id.error().os_error());
    return failed("another device answers there (" + identity_text(id->ean, id->serial_number) + ", not " +
                  identity_text(c.ean, c.serial_number) + ")");
}

}  // namespace tq
