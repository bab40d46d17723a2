#include "net/avahi.hpp"

#include <avahi-core/log.h>

#include <cstring>
#include <mutex>

namespace tq::avahi {

namespace {
void discard_log(AvahiLogLevel, const char*) {}
}  // namespace

void silence_library_log() {
    static std::once_flag once;
    std::call_once(once, [] { avahi_set_log_function(discard_log); });
}

std::optional<ServiceAddress> to_service_address(const AvahiAddress& address, AvahiIfIndex interface) {
    if (address.proto == AVAHI_PROTO_INET) {
        in_addr a{};
        static_assert(sizeof a == sizeof address.data.ipv4.address);
        std::memcpy(&a, &address.data.ipv4.address, sizeof a);
        return ServiceAddress::v4(a);
    }
    if (address.proto == AVAHI_PROTO_INET6) {
        in6_addr a{};
        static_assert(sizeof a == sizeof address.data.ipv6.address);
        std::memcpy(&a, address.data.ipv6.address, sizeof a);
        return ServiceAddress::v6(a, interface > 0 ? static_cast<uint32_t>(interface) : 0);
    }
    return std::nullopt;
}

AvahiAddress to_avahi_address(const ServiceAddress& address) {
    AvahiAddress out{};
    if (address.family == ServiceAddress::Family::V4) {
        out.proto = AVAHI_PROTO_INET;
        std::memcpy(&out.data.ipv4.address, address.bytes.data(), sizeof out.data.ipv4.address);
    } else {
        out.proto = AVAHI_PROTO_INET6;
        std::memcpy(out.data.ipv6.address, address.bytes.data(), sizeof out.data.ipv6.address);
    }
    return out;
}

}  // namespace tq::avahi
