#include "client/resolve.hpp"

#include <algorithm>
#include <memory>

#include "net/platform.hpp"

namespace tq {

tl::expected<std::vector<ServiceAddress>, HostLookupFailure> resolve_host(std::string_view text) {
    // A scope given by interface name ("fe80::1%eth0") becomes its index here,
    // so an unknown name is reported as such instead of as an unknown host.
    std::string host(text);
    if (const auto percent = host.find('%'); percent != std::string::npos) {
        const std::string scope = host.substr(percent + 1);
        if (!scope.empty() && scope.find_first_not_of("0123456789") != std::string::npos) {
            const unsigned index = os::interface_index(scope);
            if (index == 0)
                return tl::unexpected(HostLookupFailure{HostLookupFailure::Kind::UnknownInterface, scope, {}});
            host = host.substr(0, percent + 1) + std::to_string(index);
        }
    }
    std::vector<ServiceAddress> addresses;
    ServiceAddress numeric;
    if (ServiceAddress::parse(host, numeric)) {
        addresses.push_back(numeric);
        return addresses;
    }

    os::start_networking();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
        return tl::unexpected(HostLookupFailure{HostLookupFailure::Kind::NotFound, host, gai_strerror(rc)});
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        ServiceAddress address;
        if (a->ai_family == AF_INET) {
            address = ServiceAddress::v4(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
        } else if (a->ai_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            address = ServiceAddress::v6(v6->sin6_addr, v6->sin6_scope_id);
        } else {
            continue;
        }
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
    }
    if (addresses.empty())
        return tl::unexpected(HostLookupFailure{HostLookupFailure::Kind::NotFound, host, "no address"});
    return addresses;
}

}  // namespace tq
