// Publishes simulated devices as DNS-SD instances of "_px-command-api._tcp"
// through an mDNS responder of their own (no avahi-daemon, no D-Bus).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "net/address.hpp"

namespace tq::sim {

inline constexpr std::string_view kAdvertisedServiceType = "_px-command-api._tcp";

struct Advertisement {
    std::string instance_name;
    // One DNS label; published as "<host_name>.local" with `addresses` as its
    // A and AAAA records. Several advertisements may share a host.
    std::string host_name;
    uint16_t port = 0;
    std::vector<ServiceAddress> addresses;
};

class Advertiser {
public:
    enum class State : uint8_t { Registering, Established, Failed };
    // Called on the responder's thread: keep it short.
    using StateCallback = std::function<void(State)>;

    // Starts publishing: the names are announced at once (and again a second
    // later) and then established; they are unique per process, so nothing
    // is probed.
    static tl::expected<std::unique_ptr<Advertiser>, std::string> start(std::vector<Advertisement> advertisements,
                                                                        StateCallback on_state = {});
    // Withdraws every record (goodbye packets) and stops the thread.
    ~Advertiser();
    Advertiser(const Advertiser&) = delete;
    Advertiser& operator=(const Advertiser&) = delete;

    State state() const;
    // True once established; false on failure or when the time is up.
    bool wait_established(std::chrono::milliseconds timeout) const;

    struct Impl;

private:
    explicit Advertiser(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A host label nobody else on the link uses: the prefix, this process and a
// random part ("tq-sim-1234-5f3a9c").
std::string unique_host_label(std::string_view prefix);

}  // namespace tq::sim
