#include "client/scan.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "client/client.hpp"

namespace tq {

namespace scan {

namespace {

// Connects every resolution until the channel reports disconnection. Nothing
// thrown here may leave the thread (that would end the process); a failure
// while handling one event costs that device only.
void connect_resolved(dnssd::EventChannel& channel, const Collaborators& with,
                      std::chrono::nanoseconds connection_timeout, std::vector<Device>& devices) noexcept {
    for (;;) {
        std::optional<dnssd::ServiceEvent> event;
        try {
            event = channel.receive();
        } catch (...) {
            return;  // the channel only queues, so nobody waits on a worker that stopped early
        }
        if (!event) return;
        if (event->kind != dnssd::EventKind::ServiceResolved) continue;
        try {
            Result<Device> device = with.connect(event->service, connection_timeout);
            if (device) {
                devices.push_back(std::move(*device));
            } else if (device.error().kind() == Error::Kind::ClientSoftwareTooOldForDevice) {
                write_stdout_line(kIncompatibleLine);
            } else {
                write_stdout_line(kConnectFailedPrefix + device.error().debug_text());
            }
        } catch (...) {
            // That device is lost; the others still get their turn.
        }
    }
}

// Whatever happens between starting the worker and returning, the worker is
// released from the channel and joined: a joinable std::thread destroyed
// would terminate the process, and a worker left blocked would outlive the
// scan.
class WorkerGuard {
public:
    WorkerGuard(std::thread& worker, dnssd::EventChannel& channel) : worker_(worker), channel_(channel) {}
    WorkerGuard(const WorkerGuard&) = delete;
    WorkerGuard& operator=(const WorkerGuard&) = delete;
    ~WorkerGuard() { release(); }
    void release() noexcept {
        channel_.close();
        if (worker_.joinable()) worker_.join();
    }

private:
    std::thread& worker_;
    dnssd::EventChannel& channel_;
};

}  // namespace

Collaborators Collaborators::standard() {
    return Collaborators{
        [] { return dnssd::create_daemon(); },
        [](std::function<void()> body) { return std::thread(std::move(body)); },
        [](const ResolvedService& service, std::chrono::nanoseconds timeout) {
            return Device::connect(service, timeout);
        },
    };
}

Result<std::vector<Device>> run(const Collaborators& with, std::chrono::nanoseconds wait,
                                std::chrono::nanoseconds connection_timeout) {
    dnssd::DaemonResult daemon = with.create_daemon();
    if (!daemon || !*daemon) return fail(Error::Kind::DeviceDiscoveryError, kCreateDaemonFailed);
    auto browse = (*daemon)->browse(kServiceType);
    if (!browse || !*browse) return fail(Error::Kind::DeviceDiscoveryError, kBrowseFailed);
    dnssd::EventChannel& channel = **browse;

    std::vector<Device> devices;
    std::thread worker;
    {
        WorkerGuard guard(worker, channel);
        try {
            worker = with.start_worker([&] { connect_resolved(channel, with, connection_timeout, devices); });
        } catch (...) {
            (void)(*daemon)->shutdown();
            return fail(Error::Kind::DeviceDiscoveryError, kWorkerFailed);
        }

        // The full wait, however early devices turn up.
        if (wait > std::chrono::nanoseconds::zero()) std::this_thread::sleep_for(wait);

        bool stopped = false;
        try {
            stopped = (*daemon)->shutdown().has_value();
        } catch (...) {
        }
        // A daemon that stopped has already disconnected the channel after
        // its last event; closing again only matters when it did not.
        guard.release();
        daemon->reset();
        if (!stopped) return fail(Error::Kind::DeviceDiscoveryError, kShutdownFailed);
    }

    std::stable_sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) {
        return std::pair(a.get_ean(), a.get_serial_number()) < std::pair(b.get_ean(), b.get_serial_number());
    });
    return devices;
}

}  // namespace scan

Result<std::vector<Device>> Client::scan_for_devices() const {
    return scan_for_devices_with_timeout(scan::kDefaultWait);
}

Result<std::vector<Device>> Client::scan_for_devices_with_timeout(std::chrono::nanoseconds wait) const {
    return scan::run(scan::Collaborators::standard(), wait, connection_timeout);
}

}  // namespace tq
