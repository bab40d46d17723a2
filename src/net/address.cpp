#include "net/address.hpp"

#include <cstring>

namespace tq {

ServiceAddress ServiceAddress::v4(const in_addr& a) {
    ServiceAddress out;
    out.family = Family::V4;
    std::memcpy(out.bytes.data(), &a, sizeof a);
    return out;
}

ServiceAddress ServiceAddress::v6(const in6_addr& a, uint32_t interface_index) {
    ServiceAddress out;
    out.family = Family::V6;
    std::memcpy(out.bytes.data(), &a, sizeof a);
    out.interface_index = interface_index;
    return out;
}

bool ServiceAddress::parse(const std::string& text, ServiceAddress& out) {
    in_addr a4{};
    if (::inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        out = v4(a4);
        return true;
    }
    std::string host = text;
    uint32_t scope = 0;
    if (const auto pct = text.find('%'); pct != std::string::npos) {
        host = text.substr(0, pct);
        const std::string zone = text.substr(pct + 1);
        if (zone.empty()) return false;
        if (zone.find_first_not_of("0123456789") == std::string::npos) {
            if (zone.size() > 10) return false;
            const unsigned long long v = std::stoull(zone);
            if (v > UINT32_MAX) return false;
            scope = static_cast<uint32_t>(v);
        } else {
            scope = os::interface_index(zone);
            if (scope == 0) return false;
        }
    }
    in6_addr a6{};
    if (::inet_pton(AF_INET6, host.c_str(), &a6) != 1) return false;
    out = v6(a6, scope);
    return true;
}

std::string ServiceAddress::to_string() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (family == Family::V4) {
        ::inet_ntop(AF_INET, bytes.data(), text, sizeof text);
        return text;
    }
    ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    std::string out = text;
    // Appended piecewise: "%" + std::to_string(...) trips a false -Wrestrict in g++ 12 at -O3.
    if (interface_index != 0) {
        out += '%';
        out += std::to_string(interface_index);
    }
    return out;
}

SocketAddress::SocketAddress(const ServiceAddress& address, uint16_t port) {
    if (address.family == ServiceAddress::Family::V4) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        std::memcpy(&sa.sin_addr, address.bytes.data(), sizeof sa.sin_addr);
        std::memcpy(&storage_, &sa, sizeof sa);
        size_ = sizeof sa;
    } else {
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(port);
        sa.sin6_flowinfo = 0;
        sa.sin6_scope_id = address.interface_index;
        std::memcpy(&sa.sin6_addr, address.bytes.data(), sizeof sa.sin6_addr);
        std::memcpy(&storage_, &sa, sizeof sa);
        size_ = sizeof sa;
    }
}

uint16_t SocketAddress::port() const {
    if (storage_.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
    if (storage_.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    return 0;
}

std::string SocketAddress::to_string() const {
    if (storage_.ss_family == AF_INET) {
        const auto& sa = *reinterpret_cast<const sockaddr_in*>(&storage_);
        return ServiceAddress::v4(sa.sin_addr).to_string() + ":" + std::to_string(port());
    }
    if (storage_.ss_family == AF_INET6) {
        const auto& sa = *reinterpret_cast<const sockaddr_in6*>(&storage_);
        std::string out = "[";
        out += ServiceAddress::v6(sa.sin6_addr, sa.sin6_scope_id).to_string();
        out += "]:";
        out += std::to_string(port());
        return out;
    }
    return "(unset)";
}

}  // namespace tq
