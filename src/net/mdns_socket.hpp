// The sockets of mDNS, shared by the client's querier and the simulator's
// responder: which interfaces carry it, the group on UDP 5353, sending to
// the group on one interface, and receiving with the arrival interface.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "net/platform.hpp"

namespace tq::dnssd {

using os::Socket;

inline constexpr uint16_t kMdnsPort = 5353;
// The largest mDNS message (RFC 6762, 17); anything longer arrives cut.
inline constexpr size_t kMaxDatagram = 9000;
// What a message we send may fill: an Ethernet frame, no fragments.
inline constexpr size_t kMaxSentMessage = 1400;

// Owns one socket; closes it when destroyed.
class Fd {
public:
    Fd() = default;
    explicit Fd(Socket s) : fd_(s) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, os::kNoSocket)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { os::close_socket(fd_); }
    Socket get() const { return fd_; }
    bool valid() const { return fd_ != os::kNoSocket; }

private:
    Socket fd_ = os::kNoSocket;
};

// An interface mDNS can use: IPv4 ones that are up with multicast or
// loopback (with their first IPv4 address, the source of what is sent),
// IPv6 ones that are up with multicast.
struct LinkInterface {
    unsigned index = 0;
    in_addr v4_address{};
};
std::vector<LinkInterface> mdns_interfaces(int family);
bool send_to_group(Socket fd, int family, const LinkInterface& via, std::span<const uint8_t> message);

// One address prefix of an interface that is up.
struct LinkPrefix {
    unsigned index = 0;
    bool loopback = false;
    int family = 0;  // AF_INET or AF_INET6
    std::array<uint8_t, 16> address{};
    std::array<uint8_t, 16> mask{};
};
std::vector<LinkPrefix> link_prefixes();

// Whether a datagram that arrived on interface `arrival` may be a
// responder's reply: sent from UDP port 5353 (responders answer from no
// other), by a host on that interface's link (its source inside one of the
// interface's prefixes) or by this host (anything arriving on loopback).
// A host further away, or one faking another link's addresses, is not
// heard.
bool from_responder_on_link(const sockaddr_storage& from, unsigned arrival, std::span<const LinkPrefix> links);

// The UDP port a datagram came from; 0 for a family other than IPv4/IPv6.
uint16_t source_port(const sockaddr_storage& from);

// The interface other than loopback whose prefix holds `address` (16 bytes,
// or 4 for IPv4), or 0: where an address of this host that answered over
// loopback lives.
unsigned interface_holding(int family, std::span<const uint8_t> address, std::span<const LinkPrefix> links);

// A socket for legacy unicast queries (RFC 6762, 6.7): from a port other
// than 5353, so responders answer at once, by unicast, to this socket.
// Wildcard address, a port of the kernel's choosing, arrival interface
// reported, non-blocking. os::kNoSocket on failure.
Socket open_legacy_query_socket(int family);

// A socket on UDP 5353 of the wildcard address, shared with every other
// mDNS stack on the host (address and port reuse), in the group on every
// interface of `links`; arrival interface reported, non-blocking. Multicast
// answers and announcements arrive here. os::kNoSocket when it cannot be
// bound.
Socket open_group_socket(int family, std::span<const LinkInterface> links);

// One datagram read without waiting; nullopt once none is queued. A datagram
// longer than the buffer is read and reported with `cut` set.
struct Datagram {
    size_t size = 0;
    bool cut = false;
    sockaddr_storage from{};
    unsigned interface = 0;
};
std::optional<Datagram> receive_datagram(Socket fd, std::span<uint8_t> buffer);

bool send_datagram(Socket fd, const sockaddr_storage& to, std::span<const uint8_t> message);

}  // namespace tq::dnssd
