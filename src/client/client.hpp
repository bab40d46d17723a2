// Finds devices by DNS-SD and returns them connected, sorted by (EAN, serial).
#pragma once

#include <chrono>
#include <vector>

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
};

}  // namespace tq
