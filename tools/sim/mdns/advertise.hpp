// plenko-tq-sim's --advertise options: what to publish for the simulated
// devices, built from the command line and the running Simulator.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "net/platform.hpp"
#include "sim/mdns/advertiser.hpp"
#include "sim/simulator.hpp"

namespace tq::sim {

struct AdvertiseOptions {
    bool advertise = false;
    // Published as the host's A/AAAA records; by default the listening
    // address, which then must not be a wildcard.
    std::vector<std::string> addresses;
    // One more instance whose port refuses connections.
    bool refused = false;
    // Device indices published under a second instance name as well.
    std::vector<size_t> twice;
    std::string name_prefix = "tq-sim";
};

inline void add_advertise_options(CLI::App& app, AdvertiseOptions& o) {
    app.add_flag("--advertise", o.advertise,
                 "Publish every device by DNS-SD as an instance of _px-command-api._tcp (READY is then\n"
                 "printed once the names are established). Run it only inside a private network\n"
                 "namespace (scripts/netns) unless the network is meant to see it");
    app.add_option("--advertise-address", o.addresses,
                   "Address published for the devices' host (repeatable); default: the --bind address");
    app.add_flag("--advertise-refused", o.refused,
                 "Also publish an instance whose address and port refuse connections");
    app.add_option("--advertise-twice", o.twice, "Publish this device (0-based) under a second instance name too");
    app.add_option("--advertise-prefix", o.name_prefix, "Start of the unique host and instance names")
        ->capture_default_str();
}

// What start_advertising published, for the ready line and for tests.
struct Published {
    std::unique_ptr<Advertiser> advertiser;
    std::vector<Advertisement> advertisements;
    os::Socket refusing_socket = os::kNoSocket;  // keeps the refused port reserved
    Published() = default;
    Published(Published&&) noexcept;
    Published& operator=(Published&&) noexcept;
    ~Published();
};

// The advertisements for `sim` (started) under `options`. Throws
// std::runtime_error on a bad address or device index.
std::vector<Advertisement> build_advertisements(const AdvertiseOptions& options, const Simulator& sim,
                                                uint16_t refused_port);

// Publishes and waits until the names are established. Throws
// std::runtime_error when that fails or takes longer than `timeout`.
Published start_advertising(const AdvertiseOptions& options, const Simulator& sim,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace tq::sim
