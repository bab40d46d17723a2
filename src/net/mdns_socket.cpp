#include "net/mdns_socket.hpp"

#include <algorithm>
#include <cstring>

namespace tq::dnssd {

namespace {

constexpr const char* kGroupV4 = "224.0.0.251";
constexpr const char* kGroupV6 = "ff02::fb";
constexpr int kTtl = 255;  // mDNS receivers may drop anything else

std::array<uint8_t, 16> group_of(int family) {
    std::array<uint8_t, 16> group{};
    ::inet_pton(family, family == AF_INET ? kGroupV4 : kGroupV6, group.data());
    return group;
}

sockaddr_storage group_address(int family, unsigned index) {
    sockaddr_storage to{};
    const auto group = group_of(family);
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(to);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(kMdnsPort);
        std::memcpy(&v4.sin_addr, group.data(), 4);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(to);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(kMdnsPort);
        v6.sin6_scope_id = index;
        std::memcpy(&v6.sin6_addr, group.data(), 16);
    }
    return to;
}

// Multicast out with TTL 255, looped back to this host's own sockets, the
// arrival interface reported with every datagram.
Socket open_udp(int family) {
    const Socket s = os::open_socket(family, SOCK_DGRAM, true);
    if (s == os::kNoSocket) return s;
    os::report_arrival_interface(s, family);
    os::prepare_multicast(s, family, kTtl);
    // Many responders may answer one question at once.
    os::grow_receive_buffer(s, 1 << 20);
    return s;
}

bool bind_wildcard(Socket s, int family, uint16_t port) {
    sockaddr_storage sa{};
    int size = 0;
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(sa);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        size = sizeof v4;
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(sa);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        size = sizeof v6;
    }
    return ::bind(s, reinterpret_cast<const sockaddr*>(&sa), size) == 0;
}

}  // namespace

// The source address is given too: on loopback the kernel would otherwise
// send from 0.0.0.0 (127.0.0.1 is not link scope), and nobody can answer that.
bool send_to_group(Socket fd, int family, const LinkInterface& via, std::span<const uint8_t> message) {
    if (!os::multicast_via(fd, family, via.index, via.v4_address)) return false;
    return os::send_datagram(fd, group_address(family, via.index), message);
}

std::vector<LinkInterface> mdns_interfaces(int family) {
    std::vector<LinkInterface> out;
    for (const os::InterfaceAddress& a : os::interface_addresses()) {
        if (a.family != family || !a.up) continue;
        // IPv6 multicast over loopback is refused by the kernel.
        if (family == AF_INET && (a.multicast || a.loopback)) {
            LinkInterface link{a.index, {}};
            std::memcpy(&link.v4_address, a.address.data(), 4);
            out.push_back(link);
        } else if (family == AF_INET6 && a.multicast && !a.loopback) {
            out.push_back({a.index, {}});
        }
    }
    // One entry per interface, with its first address.
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    out.erase(std::unique(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.index == b.index; }),
              out.end());
    return out;
}

std::vector<LinkPrefix> link_prefixes() {
    std::vector<LinkPrefix> out;
    for (const os::InterfaceAddress& a : os::interface_addresses()) {
        if (!a.up) continue;
        out.push_back({a.index, a.loopback, a.family, a.address, a.mask});
    }
    return out;
}

namespace {

bool in_prefix(const LinkPrefix& link, int family, std::span<const uint8_t> address) {
    if (link.family != family) return false;
    for (size_t i = 0; i < address.size() && i < link.mask.size(); ++i) {
        if ((address[i] & link.mask[i]) != (link.address[i] & link.mask[i])) return false;
    }
    return true;
}

}  // namespace

uint16_t source_port(const sockaddr_storage& from) {
    if (from.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(from).sin_port);
    if (from.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(from).sin6_port);
    return 0;
}

bool from_responder_on_link(const sockaddr_storage& from, unsigned arrival, std::span<const LinkPrefix> links) {
    if (source_port(from) != kMdnsPort) return false;
    std::array<uint8_t, 16> source{};
    if (from.ss_family == AF_INET) {
        std::memcpy(source.data(), &reinterpret_cast<const sockaddr_in&>(from).sin_addr, 4);
    } else {
        std::memcpy(source.data(), &reinterpret_cast<const sockaddr_in6&>(from).sin6_addr, 16);
    }
    return std::any_of(links.begin(), links.end(), [&](const LinkPrefix& link) {
        if (link.index != arrival) return false;
        return link.loopback || in_prefix(link, from.ss_family, source);
    });
}

unsigned interface_holding(int family, std::span<const uint8_t> address, std::span<const LinkPrefix> links) {
    for (const LinkPrefix& link : links) {
        if (!link.loopback && in_prefix(link, family, address)) return link.index;
    }
    return 0;
}

Socket open_legacy_query_socket(int family) {
    const Socket s = open_udp(family);
    if (s == os::kNoSocket) return s;
    if (!bind_wildcard(s, family, 0)) {
        os::close_socket(s);
        return os::kNoSocket;
    }
    return s;
}

Socket open_group_socket(int family, std::span<const LinkInterface> links) {
    const Socket s = open_udp(family);
    if (s == os::kNoSocket) return s;
    os::share_port(s);
    if (!bind_wildcard(s, family, kMdnsPort)) {
        os::close_socket(s);
        return os::kNoSocket;
    }
    // An interface that refuses (no address yet, or the membership cap) is
    // left out; the others still carry mDNS.
    const auto group = group_of(family);
    for (const LinkInterface& link : links) {
        os::join_group(s, family, std::span(group).first(family == AF_INET ? 4 : 16), link.index, link.v4_address);
    }
    return s;
}

std::optional<Datagram> receive_datagram(Socket fd, std::span<uint8_t> buffer) {
    const os::Received r = os::receive_datagram(fd, buffer);
    if (r.size < 0) return std::nullopt;
    return Datagram{static_cast<size_t>(r.size), r.cut, r.from, r.interface};
}

bool send_datagram(Socket fd, const sockaddr_storage& to, std::span<const uint8_t> message) {
    return os::send_datagram(fd, to, message);
}

}  // namespace tq::dnssd
