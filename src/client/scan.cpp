#include "client/scan.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "client/client.hpp"
#include "client/diagnostics.hpp"
#include "client/interrupt.hpp"

namespace tq {

namespace scan {

namespace {

// Where a device left out of the scan could be reached: every address of its
// resolution (which one a failed handshake ran on is not kept).
std::string addresses_of(const ResolvedService& service) {
    std::string out;
    for (const ServiceAddress& a : service.addresses) {
        if (!out.empty()) out += ", ";
        out += SocketAddress(a, service.port).to_string();
    }
    return out;
}

// A line about a device left out, for the scan's caller.
void report_left_out(std::string_view line, const ResolvedService& service) {
    if (diagnostic_sink() == nullptr) {
        report_line(line);
    } else {
        report_line(line, addresses_of(service));
    }
}

// The scan worker's connecting threads: up to `connects_in_flight`, started
// as resolutions queue up faster than free threads take them. Each takes the
// oldest queued resolution, so a device waits for a free thread, never for a
// particular device. Nothing thrown may leave a thread (that would end the
// process); a failure while handling one resolution costs that device only.
class ConnectPool {
public:
    ConnectPool(const Collaborators& with, std::chrono::nanoseconds connection_timeout, std::vector<Device>& devices,
                const std::atomic<bool>& cancelled)
        : with_(with),
          connection_timeout_(connection_timeout),
          limit_(with.connects_in_flight),
          devices_(devices),
          cancel_check_(flag_check(cancelled)) {
        // Reserved up front: a started thread must never be lost to a
        // failing push_back, which would destroy it still joinable.
        try {
            threads_.reserve(limit_);
        } catch (...) {
            limit_ = 0;
        }
    }
    ConnectPool(const ConnectPool&) = delete;
    ConnectPool& operator=(const ConnectPool&) = delete;
    ~ConnectPool() { finish(); }

    void submit(ResolvedService service) noexcept {
        bool more_threads = false;
        try {
            const std::lock_guard lock(mutex_);
            queue_.push_back(std::move(service));
            more_threads = queue_.size() > idle_ && threads_.size() < limit_;
        } catch (...) {
            return;  // that device is lost, the others still get their turn
        }
        queued_.notify_one();
        if (more_threads) start_thread();
        // With no thread to take it the resolution would wait forever:
        // connect it here instead.
        if (threads_.empty()) connect_queued();
    }

    // Lets the threads drain the queue, then joins them. When the pool
    // returns, no connect of this scan is left running.
    void finish() noexcept {
        {
            const std::lock_guard lock(mutex_);
            finishing_ = true;
        }
        queued_.notify_all();
        for (std::thread& t : threads_) t.join();
        threads_.clear();
        connect_queued();
    }

private:
    void start_thread() noexcept {
        try {
            std::thread t = with_.start_worker(carry_diagnostics([this] { serve(); }));
            if (t.joinable()) threads_.push_back(std::move(t));
        } catch (...) {
            // No thread now: the threads running take the resolution, or
            // submit() connects it itself.
        }
    }

    void serve() noexcept {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (queue_.empty()) {
                if (finishing_) return;
                ++idle_;
                queued_.wait(lock, [this] { return !queue_.empty() || finishing_; });
                --idle_;
                continue;
            }
            const ResolvedService service = take_locked();
            lock.unlock();
            connect(service);
            lock.lock();
        }
    }

    void connect_queued() noexcept {
        for (;;) {
            std::unique_lock lock(mutex_);
            if (queue_.empty()) return;
            const ResolvedService service = take_locked();
            lock.unlock();
            connect(service);
        }
    }

    ResolvedService take_locked() noexcept {
        ResolvedService service = std::move(queue_.front());
        queue_.pop_front();
        return service;
    }

    void connect(const ResolvedService& service) noexcept {
        // A scan that is interrupted ends its connects too.
        const InterruptScope cancellable(&cancel_check_);
        try {
            Result<Device> device = with_.connect(service, connection_timeout_);
            if (device) {
                // Appended when the handshake succeeded: the stable sort keeps
                // equal keys in this order.
                const std::lock_guard lock(mutex_);
                devices_.push_back(std::move(*device));
            } else if (interrupted()) {
                // Cut short by the scan's end: no finding about the device.
            } else if (device.error().kind() == Error::Kind::ClientSoftwareTooOldForDevice) {
                report_left_out(kIncompatibleLine, service);
            } else {
                report_left_out(kConnectFailedPrefix + device.error().debug_text(), service);
            }
        } catch (...) {
            // That device is lost; the others still get their turn.
        }
    }

    const Collaborators& with_;
    const std::chrono::nanoseconds connection_timeout_;
    size_t limit_;

    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<ResolvedService> queue_;  // under mutex_
    size_t idle_ = 0;                    // under mutex_: threads waiting for a resolution
    bool finishing_ = false;             // under mutex_
    std::vector<Device>& devices_;       // under mutex_
    std::vector<std::thread> threads_;   // the scan worker's own
    const InterruptCheck cancel_check_;
};

// Hands every resolution to the pool until the channel reports disconnection,
// then waits for the pool: the worker ends only when every connect has.
void connect_resolved(dnssd::EventChannel& channel, const Collaborators& with,
                      std::chrono::nanoseconds connection_timeout, std::vector<Device>& devices,
                      const std::atomic<bool>& cancelled) noexcept {
    ConnectPool pool(with, connection_timeout, devices, cancelled);
    for (;;) {
        std::optional<dnssd::ServiceEvent> event;
        try {
            event = channel.receive();
        } catch (...) {
            return;  // the channel only queues, so nobody waits on a worker that stopped early
        }
        if (!event) return;
        if (event->kind != dnssd::EventKind::ServiceResolved) continue;
        pool.submit(std::move(event->service));
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

// The scan's wait; false when the thread's interrupt check ended it early.
bool wait_for(std::chrono::nanoseconds wait) {
    if (wait <= std::chrono::nanoseconds::zero()) return true;
    if (!interruptible()) {
        std::this_thread::sleep_for(wait);
        return true;
    }
    const auto end = std::chrono::steady_clock::now() + wait;
    for (auto left = wait; left > std::chrono::nanoseconds::zero(); left = end - std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(left, kInterruptPoll));
        if (interrupted()) return false;
    }
    return true;
}

}  // namespace

Collaborators Collaborators::standard() {
    return Collaborators{
        [] { return dnssd::create_daemon(); },
        [](std::function<void()> body) { return std::thread(std::move(body)); },
        [](const ResolvedService& service, std::chrono::nanoseconds timeout) {
            return Device::connect(service, timeout);
        },
        kConnectsInFlight,
    };
}

Result<std::vector<Device>> run(const Collaborators& with, std::chrono::nanoseconds wait,
                                std::chrono::nanoseconds connection_timeout) {
    // Every device's connect would fail alike; refuse once, before browsing.
    if (auto ok = check_connection_timeout(connection_timeout); !ok) return tl::unexpected(std::move(ok.error()));
    dnssd::DaemonResult daemon = with.create_daemon();
    if (!daemon || !*daemon) return fail(Error::Kind::DeviceDiscoveryError, kCreateDaemonFailed);
    auto browse = (*daemon)->browse(kServiceType);
    if (!browse || !*browse) return fail(Error::Kind::DeviceDiscoveryError, kBrowseFailed);
    dnssd::EventChannel& channel = **browse;

    std::vector<Device> devices;
    std::thread worker;
    std::atomic<bool> cancelled{false};
    {
        WorkerGuard guard(worker, channel);
        try {
            // The worker and its connecting threads report to this thread's sink.
            worker = with.start_worker(carry_diagnostics(
                [&] { connect_resolved(channel, with, connection_timeout, devices, cancelled); }));
        } catch (...) {
            (void)(*daemon)->shutdown();
            return fail(Error::Kind::DeviceDiscoveryError, kWorkerFailed);
        }

        // The full wait, however early devices turn up; an interrupt ends it,
        // and the connects in flight, early.
        if (!wait_for(wait)) cancelled = true;

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
    if (cancelled) return fail(Error::Kind::ApiError, kInterruptedText);

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
