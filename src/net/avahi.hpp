// Small pieces every libavahi-core user in this project needs: the library's
// log silenced, address conversion, and owners that free its objects.
#pragma once

#include <avahi-common/address.h>

#include <optional>

#include "net/address.hpp"

namespace tq::avahi {

// The library's default log writes every level to stderr; its only
// diagnostics here are this project's own standard-output lines. The log
// function is process-wide, so this is done once for every server.
void silence_library_log();

// IPv6 addresses keep the interface they were seen on (the scope id of
// link-local ones); IPv4 addresses carry none.
std::optional<ServiceAddress> to_service_address(const AvahiAddress& address, AvahiIfIndex interface);
AvahiAddress to_avahi_address(const ServiceAddress& address);

}  // namespace tq::avahi
