#include "client/dnssd.hpp"

#include "client/dnssd_wire.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace tq::dnssd {

bool EventChannel::send(ServiceEvent event) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        queue_.push_back(std::move(event));
    }
    ready_.notify_one();
    return true;
}

std::optional<ServiceEvent> EventChannel::receive() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !queue_.empty() || closed_; });
    if (queue_.empty()) return std::nullopt;
    ServiceEvent event = std::move(queue_.front());
    queue_.pop_front();
    return event;
}

void EventChannel::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool EventChannel::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::optional<ServiceTypeName> split_service_type(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    // The type is "_service._proto"; whatever follows it is the domain.
    const size_t proto = name.find("._");
    if (proto == std::string_view::npos || name.empty() || name.front() != '_') return std::nullopt;
    const size_t end = name.find('.', proto + 2);
    if (end == std::string_view::npos || end + 1 >= name.size()) return std::nullopt;
    return ServiceTypeName{std::string(name.substr(0, end)), std::string(name.substr(end + 1))};
}

namespace {

constexpr uint16_t kMdnsPort = 5353;
constexpr const char* kGroupV4 = "224.0.0.251";
constexpr const char* kGroupV6 = "ff02::fb";

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Port 5353 as source matters twice: responders answer a question from any
// other port as a legacy unicast query (to that port, where the library does
// not listen), and a unicast-response answer comes back to this address and
// port, where the library's socket must be the one to get it. So the socket
// is bound to the mDNS group address itself: it can send from 5353 but
// never receives a unicast datagram, however long it stays open.
int open_mdns_socket(int family, unsigned v6_interface) {
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    const int ttl = 255;  // mDNS receivers may drop anything else
    int bound = -1;
    if (family == AF_INET) {
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(kMdnsPort);
        ::inet_pton(AF_INET, kGroupV4, &sa.sin_addr);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } else {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &one, sizeof one);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(kMdnsPort);
        sa.sin6_scope_id = v6_interface;  // a link-local group needs its link
        ::inet_pton(AF_INET6, kGroupV6, &sa.sin6_addr);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    }
    if (bound != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

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
    return ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(message.size());
}

bool send_v6(int fd, const LinkInterface& via_interface, std::span<const uint8_t> message) {
    const unsigned index = via_interface.index;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0) return false;
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(kMdnsPort);
    to.sin6_scope_id = index;
    ::inet_pton(AF_INET6, kGroupV6, &to.sin6_addr);
    return ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(message.size());
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

bool from_responder_on_link(const sockaddr_storage& from, unsigned arrival, std::span<const LinkPrefix> links) {
    std::array<uint8_t, 16> source{};
    uint16_t port = 0;
    if (from.ss_family == AF_INET) {
        const auto& sa = reinterpret_cast<const sockaddr_in&>(from);
        std::memcpy(source.data(), &sa.sin_addr, 4);
        port = ntohs(sa.sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto& sa = reinterpret_cast<const sockaddr_in6&>(from);
        std::memcpy(source.data(), &sa.sin6_addr, 16);
        port = ntohs(sa.sin6_port);
    } else {
        return false;
    }
    if (port != kMdnsPort) return false;
    return std::any_of(links.begin(), links.end(), [&](const LinkPrefix& link) {
        if (link.index != arrival) return false;
        if (link.loopback) return true;
        if (link.family != from.ss_family) return false;
        for (size_t i = 0; i < source.size(); ++i) {
            if ((source[i] & link.mask[i]) != (link.address[i] & link.mask[i])) return false;
        }
        return true;
    });
}

int open_legacy_query_socket(int family) {
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1;
    const int ttl = 255;
    int bound = -1;
    if (family == AF_INET) {
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } else {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &one, sizeof one);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    }
    if (bound != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<uint8_t> encode_ptr_question(std::string_view name, bool unicast_response) {
    return wire::encode_question(0, wire::split_name(name), wire::kTypePtr, unicast_response);
}

size_t send_ptr_question(std::string_view name, bool unicast_response) {
    const std::vector<uint8_t> message = encode_ptr_question(name, unicast_response);
    if (message.empty()) return 0;
    size_t sent = 0;
    const auto v4 = mdns_interfaces(AF_INET);
    if (!v4.empty()) {
        const Fd fd(open_mdns_socket(AF_INET, 0));
        for (const LinkInterface& via : v4) sent += fd.get() >= 0 && send_v4(fd.get(), via, message) ? 1 : 0;
    }
    for (const LinkInterface& via : mdns_interfaces(AF_INET6)) {
        const Fd fd(open_mdns_socket(AF_INET6, via.index));
        sent += fd.get() >= 0 && send_v6(fd.get(), via, message) ? 1 : 0;
    }
    return sent;
}

}  // namespace tq::dnssd
