#include "cli/address.hpp"

#include <net/if.h>
#include <netdb.h>

#include <algorithm>
#include <charconv>
#include <memory>

namespace tq::cli {

namespace {

tl::unexpected<std::string> bad(std::string_view text, std::string_view why) {
    return tl::unexpected("invalid address '" + std::string(text) + "': " + std::string(why));
}

}  // namespace

tl::expected<HostPort, std::string> split_host_port(std::string_view text) {
    HostPort out;
    std::string_view port_text;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return bad(text, "missing ']'");
        out.host = std::string(text.substr(1, close - 1));
        if (close + 1 >= text.size() || text[close + 1] != ':') return bad(text, "expected ':PORT' after ']'");
        port_text = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos) return bad(text, "expected HOST:PORT");
        if (text.find(':') != colon) return bad(text, "write IPv6 addresses in brackets, as [ADDRESS]:PORT");
        out.host = std::string(text.substr(0, colon));
        port_text = text.substr(colon + 1);
    }
    if (out.host.empty()) return bad(text, "empty host");
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
    if (port_text.empty() || ec != std::errc{} || end != port_text.data() + port_text.size() || value == 0 ||
        value > 65535) {
        return bad(text, "the port must be a number from 1 to 65535");
    }
    out.port = static_cast<uint16_t>(value);
    return out;
}

tl::expected<ResolvedService, std::string> resolve_address(std::string_view text) {
    auto split = split_host_port(text);
    if (!split) return tl::unexpected(split.error());

    ResolvedService service;
    service.instance_name = std::string(text);
    service.port = split->port;

    // A scope given by interface name ("fe80::1%eth0") becomes its index.
    std::string host = split->host;
    if (const auto percent = host.find('%'); percent != std::string::npos) {
        const std::string scope = host.substr(percent + 1);
        if (!scope.empty() && scope.find_first_not_of("0123456789") != std::string::npos) {
            const unsigned index = if_nametoindex(scope.c_str());
            if (index == 0) return bad(text, "no network interface named '" + scope + "'");
            host = host.substr(0, percent + 1) + std::to_string(index);
        }
    }
    ServiceAddress numeric;
    if (ServiceAddress::parse(host, numeric)) {
        service.addresses.push_back(numeric);
        return service;
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
        return tl::unexpected("cannot resolve host '" + host + "': " + gai_strerror(rc));
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
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
        if (std::find(service.addresses.begin(), service.addresses.end(), address) == service.addresses.end()) {
            service.addresses.push_back(address);
        }
    }
    if (service.addresses.empty()) return tl::unexpected("cannot resolve host '" + host + "': no address");
    return service;
}

}  // namespace tq::cli
