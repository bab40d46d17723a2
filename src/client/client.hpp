// Finds devices by DNS-SD and returns them connected, sorted by (EAN, serial),
// or connects one device by its address.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "client/connect.hpp"
#include "client/device.hpp"
#include "client/error.hpp"

namespace tq {

inline constexpr const char* kServiceType = "_px-command-api._tcp.local.";

class Client {
public:
    std::chrono::nanoseconds connection_timeout = kDefaultConnectionTimeout;

    // Browses for one second.
    Result<std::vector<Device>> scan_for_devices() const;
    // Browses for `wait`, connecting each resolved instance meanwhile; the
    // call returns after the wait plus the time to finish pending connects.
    Result<std::vector<Device>> scan_for_devices_with_timeout(std::chrono::nanoseconds wait) const;

    // One device by address, without discovery, for networks that do not
    // carry multicast. `host` as resolve_host takes it; its addresses are
    // tried in order, each connect bounded by `timeout` (connection_timeout
    // when not given), which then becomes the device's socket timeouts as in
    // a scan. The handshake is a scan's.
    tl::expected<Device, ConnectFailure> connect(std::string_view host, uint16_t port,
                                                 std::optional<std::chrono::nanoseconds> timeout = {}) const;
};

}  // namespace tq
