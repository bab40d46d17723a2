// Serves simulated devices on TCP, one listening port per device, one thread
// per connection. Used in-process by the C++ tests and benchmarks and, through
// plenko-tq-sim, as a separate process by the Python tests and the demo.
//
// Discovery advertising plugs in from outside: devices() and port() give each
// device's model (EAN, serial, name) and its listening port once start() has
// returned.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_model.hpp"

namespace tq::sim {

struct SimulatorOptions {
    std::string bind_address = "127.0.0.1";  // numeric IPv4 or IPv6
    bool keep_log = true;                    // keep requests in memory for requests()
    std::string log_path;                    // also append one line per request here
};

// One received request as the simulator saw it.
struct LoggedRequest {
    size_t device = 0;
    uint64_t serial_number = 0;
    uint16_t command = 0;
    std::vector<uint8_t> bytes;  // header and payload
};

// "<serial> <command> <hex bytes>", the line format of the log file.
std::string format_log_line(const LoggedRequest& r);

class Simulator {
public:
    explicit Simulator(std::vector<DeviceModel> devices, SimulatorOptions options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds every device's port and starts serving. Throws std::runtime_error
    // naming the address when a port cannot be bound.
    void start();
    // Closes listeners and connections and joins every thread. Idempotent.
    void stop();

    size_t device_count() const { return devices_.size(); }
    uint16_t port(size_t device) const;
    std::string bind_address() const { return options_.bind_address; }
    // "READY <addr>:<port> ..." for every device, in order.
    std::string ready_line() const;

    // Runs f on a device's model under its lock (state, faults, firmware).
    template <class F>
    auto with_device(size_t device, F&& f) {
        auto& d = *devices_.at(device);
        std::lock_guard lock(d.mutex);
        return f(d.model);
    }
    void set_fault(size_t device, uint16_t command, Fault fault);
    void clear_faults(size_t device);
    // Starts drawing faults at random (rate 0 stops it), from the seed.
    void set_random_faults(size_t device, RandomFaults random);
    // Requests of a device answered with a fault so far, set or drawn.
    uint64_t faults_fired(size_t device) const;

    std::vector<LoggedRequest> requests() const;
    std::vector<LoggedRequest> requests(size_t device) const;
    void clear_requests();
    size_t connections_accepted(size_t device) const;
    // Connections of a device still being served (the client has not closed them).
    size_t open_connections(size_t device) const;

private:
    struct Served {
        DeviceModel model;
        std::mutex mutex;
        std::mt19937_64 rng;  // random faults and garbage; guarded by mutex
        std::atomic<uint64_t> faults_fired{0};
        int listener = -1;
        uint16_t port = 0;
        std::atomic<size_t> accepted{0};
    };
    struct Connection {
        size_t device = 0;
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void accept_loop();
    void serve(size_t device, Connection& connection);
    void log(size_t device, uint64_t serial, std::span<const uint8_t> request);
    // Sends a reply whole, or with the pauses a fault asks for; false if the
    // peer is gone or the simulator stops meanwhile.
    bool send_reply(int fd, std::span<const uint8_t> reply, const Fault& fault);
    // Sleeps up to `d`; false if the simulator stops meanwhile.
    bool pause(std::chrono::milliseconds d);
    void reap_finished();

    SimulatorOptions options_;
    std::vector<std::unique_ptr<Served>> devices_;
    std::thread acceptor_;
    int wake_fd_ = -1;  // the acceptor polls it; stop() writes wake_write_fd_
    int wake_write_fd_ = -1;
    std::atomic<bool> stopping_{false};
    bool started_ = false;

    mutable std::mutex connections_mutex_;
    std::list<Connection> connections_;

    mutable std::mutex log_mutex_;
    std::vector<LoggedRequest> log_;
    std::FILE* log_file_ = nullptr;

    std::mutex pause_mutex_;
    std::condition_variable pause_cv_;
};

}  // namespace tq::sim
