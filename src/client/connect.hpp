// Why connecting to a device by address (Client::connect) failed: at which
// step, to which addresses, with which operating-system error.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/error.hpp"
#include "client/resolve.hpp"
#include "net/address.hpp"

namespace tq {

struct ConnectFailure {
    enum class Stage : uint8_t {
        Argument,   // a timeout of zero or less: nothing was tried
        Lookup,     // the host gave no address; see `lookup`
        Connect,    // no address accepted a TCP connection; see `attempts`
        Handshake,  // `address` accepted, the handshake failed with `error`
    };
    struct Attempt {
        SocketAddress address;
        int os_error;
    };

    Stage stage;
    std::string host;
    uint16_t port;
    std::chrono::nanoseconds timeout;
    std::optional<HostLookupFailure> lookup;
    std::vector<Attempt> attempts;
    SocketAddress address;
    std::optional<Error> error;

    // One sentence naming the target, and the address when a name stood for
    // it, and what went wrong there, e.g.
    //   Cannot connect to 127.0.0.1:5000: Connection refused (os error 111)
    std::string message() const;
};

}  // namespace tq
