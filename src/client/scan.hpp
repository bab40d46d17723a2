// The scan behind Client::scan_for_devices, with its collaborators passed in:
// the DNS-SD daemon, the worker thread and the device connect. The Client
// passes the real ones; tests replace them to reach failures the network
// cannot produce on demand.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

#include "client/device.hpp"
#include "client/dnssd.hpp"
#include "client/error.hpp"

namespace tq::scan {

inline constexpr std::chrono::seconds kDefaultWait{1};

// Fixed texts: callers match on them; keep verbatim, misspellings included.
inline constexpr const char* kCreateDaemonFailed = "Failed to create MDNS Service Daemon";
inline constexpr const char* kBrowseFailed = "Failed to browse for service";
inline constexpr const char* kWorkerFailed = "Failed to start the scan worker thread";
inline constexpr const char* kShutdownFailed = "Failed to shut down MDNS Service Daemon";
// ApiError of a scan whose wait the thread's interrupt check ended (interrupt.hpp).
inline constexpr const char* kInterruptedText = "The scan was interrupted";

// Devices connected and handshaken at the same time within one scan. The
// scan's time beyond the wait is then about ceil(N / 16) connects for N
// resolutions instead of N, and a device that never answers holds one thread
// for one timeout instead of holding up every device behind it.
//
// The bound, with T the client's connection_timeout and E the request
// transaction's bound on one exchange (one T against a device that stops
// answering): one connect takes at most A * T for the A addresses it tries
// plus 3 * E for the handshake. Every connect has finished when the scan
// returns, and a thread takes the next resolution as soon as it is free, so
// the scan returns within wait + shutdown + ceil(N / 16) * (A * T + 3 * E)
// for N resolutions. 16 devices that accept and never answer, among any
// number of good ones, cost about wait + T.
inline constexpr size_t kConnectsInFlight = 16;

// Fixed texts: callers match on them; keep verbatim, misspellings included.
inline constexpr const char* kIncompatibleLine = "Encountered a device with newer (incompatible) firmware";
inline constexpr const char* kConnectFailedPrefix = "Failed to connect to device ";

struct Collaborators {
    std::function<dnssd::DaemonResult()> create_daemon;
    // Starts the scan worker, then each connecting thread of its pool. May
    // throw, as std::thread's constructor does when no thread can be made.
    std::function<std::thread(std::function<void()>)> start_worker;
    // Called from several threads at once.
    std::function<Result<Device>(const ResolvedService&, std::chrono::nanoseconds)> connect;
    // At most this many connects at once; with 0 the scan worker connects
    // each device itself, one after another.
    size_t connects_in_flight = kConnectsInFlight;

    static Collaborators standard();
};

Result<std::vector<Device>> run(const Collaborators& with, std::chrono::nanoseconds wait,
                                std::chrono::nanoseconds connection_timeout);

}  // namespace tq::scan
