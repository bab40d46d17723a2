// --address HOST:PORT: the numeric or named host a user types, turned into
// the resolved-service form the client connects to, so a device can be
// reached without discovery.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "net/address.hpp"

namespace tq::cli {

struct HostPort {
    std::string host;  // without brackets; an IPv6 scope ("%eth0" or "%3") stays attached
    uint16_t port = 0;
};

// "1.2.3.4:5000", "[::1]:5000", "[fe80::1%eth0]:5000", "name:5000". The
// error is a sentence naming what is wrong.
tl::expected<HostPort, std::string> split_host_port(std::string_view text);

// Numeric hosts are taken as they are; names are looked up (every address
// found, in resolver order, so the client tries each in turn).
tl::expected<ResolvedService, std::string> resolve_address(std::string_view text);

}  // namespace tq::cli
