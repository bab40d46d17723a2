#include "net/mdns_socket.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tq::dnssd {

namespace {

constexpr const char* kGroupV4 = "224.0.0.251";
constexpr const char* kGroupV6 = "ff02::fb";
constexpr int kTtl = 255;  // mDNS receivers may drop anything else

// The source address is given too: on loopback the kernel would otherwise
// send from 0.0.0.0 (127.0.0.1 is not link scope), and nobody can answer that.
bool send_v4(int fd, const LinkInterface& via_interface, std::span<const uint8_t> message) {
    ip_mreqn via{};
    via.imr_ifindex = static_cast<int>(via_interface.index);
    via.imr_address = via_interface.v4_address;
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kMdnsPort);
    ::inet_pton(AF_INET, kGroupV4, &to.sin_addr);
    return ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(message.size());
}

bool send_v6(int fd, const LinkInterface& via_interface, std::span<const uint8_t> message) {
    const unsigned index = via_interface.index;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0) return false;
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(kMdnsPort);
    to.sin6_scope_id = index;
    ::inet_pton(AF_INET6, kGroupV6, &to.sin6_addr);
    return ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(message.size());
}

// Multicast out with TTL 255, looped back to this host's own sockets, the
// arrival interface reported with every datagram.
int open_udp(int family) {
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1;
    if (family == AF_INET) {
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &kTtl, sizeof kTtl);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
    } else {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &kTtl, sizeof kTtl);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &one, sizeof one);
    }
    // Many responders may answer one question at once.
    const int buffer = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    return fd;
}

bool bind_wildcard(int fd, int family, uint16_t port) {
    sockaddr_storage sa{};
    socklen_t size = 0;
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
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), size) == 0;
}

}  // namespace

bool send_to_group(int fd, int family, const LinkInterface& via, std::span<const uint8_t> message) {
    return family == AF_INET ? send_v4(fd, via, message) : send_v6(fd, via, message);
}

std::vector<LinkInterface> mdns_interfaces(int family) {
    std::vector<LinkInterface> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != family || (it->ifa_flags & IFF_UP) == 0) continue;
        const unsigned index = ::if_nametoindex(it->ifa_name);
        if (index == 0) continue;
        const bool loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
        const bool multicast = (it->ifa_flags & IFF_MULTICAST) != 0;
        // IPv6 multicast over loopback is refused by the kernel.
        if (family == AF_INET && (multicast || loopback)) {
            out.push_back({index, reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr});
        } else if (family == AF_INET6 && multicast && !loopback) {
            out.push_back({index, {}});
        }
    }
    ::freeifaddrs(list);
    // One entry per interface, with its first address.
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    out.erase(std::unique(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.index == b.index; }),
              out.end());
    return out;
}

std::vector<LinkPrefix> link_prefixes() {
    std::vector<LinkPrefix> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_netmask == nullptr || (it->ifa_flags & IFF_UP) == 0) continue;
        const int family = it->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        LinkPrefix prefix;
        prefix.index = ::if_nametoindex(it->ifa_name);
        prefix.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
        prefix.family = family;
        if (family == AF_INET) {
            std::memcpy(prefix.address.data(), &reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr, 4);
            std::memcpy(prefix.mask.data(), &reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr, 4);
        } else {
            std::memcpy(prefix.address.data(), &reinterpret_cast<const sockaddr_in6*>(it->ifa_addr)->sin6_addr, 16);
            std::memcpy(prefix.mask.data(), &reinterpret_cast<const sockaddr_in6*>(it->ifa_netmask)->sin6_addr, 16);
        }
        if (prefix.index != 0) out.push_back(prefix);
    }
    ::freeifaddrs(list);
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

int open_legacy_query_socket(int family) {
    const int fd = open_udp(family);
    if (fd < 0) return -1;
    if (!bind_wildcard(fd, family, 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int open_group_socket(int family, std::span<const LinkInterface> links) {
    const int fd = open_udp(family);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    if (!bind_wildcard(fd, family, kMdnsPort)) {
        ::close(fd);
        return -1;
    }
    // An interface that refuses (no address yet, or the membership cap) is
    // left out; the others still carry mDNS.
    for (const LinkInterface& link : links) {
        if (family == AF_INET) {
            ip_mreqn join{};
            ::inet_pton(AF_INET, kGroupV4, &join.imr_multiaddr);
            join.imr_ifindex = static_cast<int>(link.index);
            ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
        } else {
            ipv6_mreq join{};
            ::inet_pton(AF_INET6, kGroupV6, &join.ipv6mr_multiaddr);
            join.ipv6mr_interface = link.index;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &join, sizeof join);
        }
    }
    return fd;
}

std::optional<Datagram> receive_datagram(int fd, std::span<uint8_t> buffer) {
    alignas(cmsghdr) char control[256];
    Datagram out;
    iovec io{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &out.from;
    message.msg_namelen = sizeof out.from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    out.size = static_cast<size_t>(n);
    out.cut = (message.msg_flags & MSG_TRUNC) != 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            out.interface = static_cast<unsigned>(info.ipi_ifindex);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            out.interface = info.ipi6_ifindex;
        }
    }
    return out;
}

bool send_datagram(int fd, const sockaddr_storage& to, std::span<const uint8_t> message) {
    const socklen_t size = to.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    return ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), size) ==
           static_cast<ssize_t>(message.size());
}

}  // namespace tq::dnssd
