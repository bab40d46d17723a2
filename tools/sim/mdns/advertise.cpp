#include "sim/mdns/advertise.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "sim/posix.hpp"

namespace tq::sim {

namespace {

bool is_wildcard(const ServiceAddress& a) {
    for (size_t i = 0; i < (a.family == ServiceAddress::Family::V4 ? 4u : 16u); ++i) {
        if (a.bytes[i] != 0) return false;
    }
    return true;
}

// A bound socket that never listens: connecting to its port is refused, and
// nobody else can take the port while it is held.
int reserve_refusing_port(const std::string& bind_address, uint16_t& port) {
    ServiceAddress address;
    if (!ServiceAddress::parse(bind_address, address)) throw std::runtime_error("bad --bind address " + bind_address);
    const SocketAddress where(address, 0);
    const int fd = stream_socket(where.get()->sa_family);
    if (fd < 0) throw std::runtime_error("cannot create a socket for the refused port");
    if (::bind(fd, where.get(), where.size()) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot reserve a port on " + bind_address);
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    port = bound.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port)
                                      : ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    return fd;
}

}  // namespace

Published::Published(Published&& o) noexcept
    : advertiser(std::move(o.advertiser)),
      advertisements(std::move(o.advertisements)),
      refusing_socket(std::exchange(o.refusing_socket, -1)) {}

Published& Published::operator=(Published&& o) noexcept {
    if (this != &o) {
        advertiser = std::move(o.advertiser);
        advertisements = std::move(o.advertisements);
        if (refusing_socket >= 0) ::close(refusing_socket);
        refusing_socket = std::exchange(o.refusing_socket, -1);
    }
    return *this;
}

Published::~Published() {
    advertiser.reset();  // withdraw before the port goes
    if (refusing_socket >= 0) ::close(refusing_socket);
}

std::vector<Advertisement> build_advertisements(const AdvertiseOptions& options, const Simulator& sim,
                                                uint16_t refused_port) {
    std::vector<ServiceAddress> addresses;
    for (const std::string& text : options.addresses.empty() ? std::vector{sim.bind_address()} : options.addresses) {
        ServiceAddress a;
        if (!ServiceAddress::parse(text, a)) throw std::runtime_error("bad address to advertise: " + text);
        if (is_wildcard(a)) {
            throw std::runtime_error("cannot advertise the wildcard address " + text + "; give --advertise-address");
        }
        addresses.push_back(a);
    }
    for (const size_t index : options.twice) {
        if (index >= sim.device_count()) {
            throw std::runtime_error("--advertise-twice " + std::to_string(index) + ": no such device");
        }
    }
    const std::string host = unique_host_label(options.name_prefix);
    std::vector<Advertisement> out;
    const auto add = [&](std::string instance, uint16_t port) {
        out.push_back(Advertisement{std::move(instance), host, port, addresses});
    };
    for (size_t i = 0; i < sim.device_count(); ++i) add(host + "-" + std::to_string(i), sim.port(i));
    for (const size_t index : options.twice) add(host + "-" + std::to_string(index) + "-again", sim.port(index));
    if (options.refused) add(host + "-refused", refused_port);
    return out;
}

Published start_advertising(const AdvertiseOptions& options, const Simulator& sim, std::chrono::milliseconds timeout) {
    Published published;
    uint16_t refused_port = 0;
    if (options.refused) published.refusing_socket = reserve_refusing_port(sim.bind_address(), refused_port);
    published.advertisements = build_advertisements(options, sim, refused_port);
    auto advertiser = Advertiser::start(published.advertisements);
    if (!advertiser) throw std::runtime_error("cannot advertise: " + advertiser.error());
    published.advertiser = std::move(*advertiser);
    if (!published.advertiser->wait_established(timeout)) {
        throw std::runtime_error("the DNS-SD names were not established");
    }
    return published;
}

}  // namespace tq::sim
