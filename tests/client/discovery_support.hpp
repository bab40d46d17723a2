// Shared by the discovery tests and benchmarks: the private network they run
// in, child processes (simulators, the python-zeroconf peer) and capture of
// the process's standard output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tq::testing {

// mDNS must never reach a real interface. Unless this process already runs
// inside the namespaces scripts/netns made (two, joined by a veth pair), it
// runs itself again through scripts/netns --pair (plus `harness_options`)
// and returns that exit status; otherwise it returns nullopt and the caller
// goes on. Listing the tests needs no network and is not re-executed.
std::optional<int> enter_private_network(int argc, char** argv, const std::vector<std::string>& harness_options = {});

// The namespaces scripts/netns set up, from its environment variables.
struct Network {
    std::string local;  // where this process runs
    std::string peer;   // the other host of the veth pair
    std::vector<std::string> local_addresses;
    std::vector<std::string> peer_addresses;
    // Hosts of their own, each on its own link to `local` (scripts/netns --star).
    struct Host {
        std::string netns;
        std::vector<std::string> addresses;
    };
    std::vector<Host> star;
    // The star's links in `local`: one per host, or one to the switch.
    std::vector<std::string> star_links;
    static Network current();
};

// A child process whose standard output is read line by line; stopped with
// SIGTERM (SIGKILL after two seconds) when destroyed. Runs in `netns` when
// given (through `ip netns exec`).
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& netns = {});
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ~ChildProcess();

    bool started() const { return pid_ > 0; }
    // The first line starting with `prefix`; nullopt if the process ends or
    // the time is up first.
    std::optional<std::string> wait_for_line(std::string_view prefix, std::chrono::milliseconds timeout);
    // Stops the process and returns its exit status (or 128 + signal).
    int stop();

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

// plenko-tq-sim with --advertise, ready (names established) once created.
struct SimOptions {
    size_t devices = 1;
    std::optional<uint64_t> serial;
    std::optional<std::string> ean;  // 13 digits
    std::optional<uint32_t> protocol_version;
    bool in_peer = true;  // on the other host of the veth pair, else here on loopback
    // Instead: on this host of the star (Network::star), its only device.
    std::optional<size_t> star_host;
    bool refused = false;
    std::vector<size_t> twice;
    bool advertise = true;
    std::vector<std::string> extra;
};

class Sim {
public:
    // Starts the process; wait_ready() then waits for its READY line.
    explicit Sim(const SimOptions& options);
    bool wait_ready();
    bool ready() const { return !ports.empty(); }
    // Stops it (the names are withdrawn with goodbye packets).
    void stop() { process_.stop(); }
    std::vector<uint16_t> ports;

private:
    ChildProcess process_;
};

// Starts them all at once (each announces its names as it starts) and
// waits for every one; empty if any fails.
std::vector<std::unique_ptr<Sim>> start_sims(const std::vector<SimOptions>& options);

// The python-zeroconf peer (discovery_zeroconf_peer.py) advertising one
// instance for a port on the peer host.
class ZeroconfPeer {
public:
    ZeroconfPeer(const std::string& instance, uint16_t port);
    bool ready() const { return ready_; }

private:
    ChildProcess process_;
    bool ready_ = false;
};

// The interpreter with python-zeroconf: $PLENKO_TEST_PYTHON, else the one
// the build was configured with.
std::string test_python();

// Everything written to file descriptor 1 between construction and
// finish(), which the scan's diagnostic lines use.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string finish();

private:
    int saved_ = -1;
    int file_ = -1;
};

std::vector<std::string> lines_of(const std::string& text);

}  // namespace tq::testing
