// The scan behind Client::scan_for_devices, with its collaborators passed in:
// the DNS-SD daemon, the worker thread and the device connect. The Client
// passes the real ones; tests replace them to reach failures the network
// cannot produce on demand.
#pragma once

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "client/device.hpp"
#include "client/dnssd.hpp"
#include "client/error.hpp"

namespace tq::scan {

inline constexpr std::chrono::seconds kDefaultWait{1};

inline constexpr const char* kCreateDaemonFailed = "Failed to create MDNS Service Daemon";
inline constexpr const char* kBrowseFailed = "Failed to browse for service";
inline constexpr const char* kWorkerFailed = "Failed to start the scan worker thread";
inline constexpr const char* kShutdownFailed = "Failed to shut down MDNS Service Daemon";

inline constexpr const char* kIncompatibleLine = "Encountered a device with newer (incompatible) firmware";
inline constexpr const char* kConnectFailedPrefix = "Failed to connect to device ";

struct Collaborators {
    std::function<dnssd::DaemonResult()> create_daemon;
    // May throw, as std::thread's constructor does when no thread can be made.
    std::function<std::thread(std::function<void()>)> start_worker;
    std::function<Result<Device>(const ResolvedService&, std::chrono::nanoseconds)> connect;

    static Collaborators standard();
};

Result<std::vector<Device>> run(const Collaborators& with, std::chrono::nanoseconds wait,
                                std::chrono::nanoseconds connection_timeout);

}  // namespace tq::scan
