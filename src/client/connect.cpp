#include "client/connect.hpp"

#include <cerrno>
#include <charconv>

#include "client/client.hpp"
#include "client/tcp_stream.hpp"

namespace tq {
namespace {

std::string seconds_text(std::chrono::nanoseconds t) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, std::chrono::duration<double>(t).count());
    return std::string(text, r.ptr) + " s";
}

// The connect's own timeout is reported as the system's timed-out error too,
// so its text says how long was waited.
std::string os_error_text(int err, std::chrono::nanoseconds timeout) {
    std::string text = os::error_text(err);
    if (err == os::err::kTimedOut) text += " after " + seconds_text(timeout);
    return text + " (os error " + std::to_string(err) + ")";
}

}  // namespace

std::string ConnectFailure::message() const {
    std::string target = host.find(':') == std::string::npos ? host : "[" + host + "]";
    target += ":" + std::to_string(port);
    // The address only when it says more than the target (a name, a scope by name).
    auto at = [&](const SocketAddress& a) {
        const std::string text = a.to_string();
        return text == target ? std::string() : " at " + text;
    };
    switch (stage) {
        case Stage::Argument:
            return "Cannot connect to " + target + ": the connection timeout must be greater than zero";
        case Stage::Lookup:
            if (lookup && lookup->kind == HostLookupFailure::Kind::UnknownInterface) {
                return "Cannot connect to " + target + ": no network interface named '" + lookup->name + "'";
            }
            return "Cannot connect to " + target + ": name not found (" + (lookup ? lookup->reason : "") + ")";
        case Stage::Connect: {
            std::string text = "Cannot connect to " + target + ":";
            for (size_t i = 0; i < attempts.size(); ++i) {
                text += i == 0 ? " " : "; ";
                text += os_error_text(attempts[i].os_error, timeout) + at(attempts[i].address);
            }
            return text;
        }
        case Stage::Handshake:
            break;
    }
    std::string device = "Device at " + target;
    if (const std::string a = address.to_string(); a != target) device += " (" + a + ")";
    if (error && error->kind() == Error::Kind::ClientSoftwareTooOldForDevice) {
        return device + " has newer (incompatible) firmware: it speaks a newer protocol version than this client knows";
    }
    std::string text = device + " failed the handshake: " + (error ? error->debug_text() : "");
    if (error && error->kind() == Error::Kind::TcpStreamReadError) {
        text += " (no answer within " + seconds_text(timeout) + ", or the connection was closed)";
    }
    return text;
}

tl::expected<Device, ConnectFailure> Client::connect(std::string_view host, uint16_t port,
                                                     std::optional<std::chrono::nanoseconds> timeout) const {
    ConnectFailure failure{
        ConnectFailure::Stage::Connect, std::string(host), port, timeout.value_or(connection_timeout), {}, {}, {}, {}};
    // Zero would mean no timeout at all to the socket: one silent device
    // could then hold the call for ever.
    if (failure.timeout <= std::chrono::nanoseconds::zero()) {
        failure.stage = ConnectFailure::Stage::Argument;
        return tl::unexpected(std::move(failure));
    }
    auto addresses = resolve_host(host);
    if (!addresses) {
        failure.stage = ConnectFailure::Stage::Lookup;
        failure.lookup = std::move(addresses.error());
        return tl::unexpected(std::move(failure));
    }
    for (const ServiceAddress& a : *addresses) {
        const SocketAddress address(a, port);
        auto stream = TcpStream::connect(address, failure.timeout);
        if (!stream) {
            failure.attempts.push_back({address, stream.error()});
            continue;
        }
        // As in a scan, a failed handshake is final.
        auto device = Device::from_stream(address, std::move(*stream), failure.timeout);
        if (device) return std::move(*device);
        failure.stage = ConnectFailure::Stage::Handshake;
        failure.address = address;
        failure.error = std::move(device.error());
        return tl::unexpected(std::move(failure));
    }
    return tl::unexpected(std::move(failure));
}

}  // namespace tq
