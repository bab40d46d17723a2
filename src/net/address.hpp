// Addresses as discovery delivers them and as sockets take them: the client
// connects to them, the simulator publishes them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "net/platform.hpp"

namespace tq {

// One resolved address of a service instance. IPv6 addresses carry the index
// of the network interface they were seen on (the scope id of link-local ones).
struct ServiceAddress {
    enum class Family : uint8_t { V4, V6 };
    Family family = Family::V4;
    std::array<uint8_t, 16> bytes{};  // first 4 bytes for V4, network order
    uint32_t interface_index = 0;

    static ServiceAddress v4(const in_addr& a);
    static ServiceAddress v6(const in6_addr& a, uint32_t interface_index);
    // Parses a numeric IPv4 or IPv6 text ("fe80::1%3" or a scope index accepted).
    static bool parse(const std::string& text, ServiceAddress& out);
    std::string to_string() const;
    bool operator==(const ServiceAddress&) const = default;
};

// One DNS-SD service resolution: the instance's address set and SRV port.
struct ResolvedService {
    std::string instance_name;
    std::vector<ServiceAddress> addresses;
    uint16_t port = 0;
};

// IPv4 (address, port) or IPv6 (address, port, flow info 0, scope id).
class SocketAddress {
public:
    SocketAddress() = default;
    SocketAddress(const ServiceAddress& address, uint16_t port);

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t size() const { return size_; }
    uint16_t port() const;
    // "1.2.3.4:80" or "[fe80::1%3]:80".
    std::string to_string() const;

private:
    sockaddr_storage storage_{};
    socklen_t size_ = 0;
};

}  // namespace tq
