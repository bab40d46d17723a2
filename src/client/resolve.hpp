// A host as a user types it, turned into the addresses the client connects
// to, so a device can be reached without discovery.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "net/address.hpp"

namespace tq {

struct HostLookupFailure {
    enum class Kind : uint8_t {
        UnknownInterface,  // the "%name" scope of an IPv6 address names no local interface
        NotFound,          // the system's resolver found no address for the name
    };
    Kind kind;
    // The interface name for UnknownInterface; for NotFound the host as it
    // was handed to the resolver (an interface scope already turned into its
    // index).
    std::string name;
    // NotFound: the resolver's own explanation, or "no address".
    std::string reason;
};

// A numeric IPv4 or IPv6 address (IPv6 with a "%scope", an interface name or
// index) is taken as it is, without a lookup; anything else is a name the
// system resolves, giving every address found, in resolver order, each once.
tl::expected<std::vector<ServiceAddress>, HostLookupFailure> resolve_host(std::string_view host);

}  // namespace tq
