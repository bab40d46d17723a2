// Which devices a command works on. --serial and --address repeat and --all
// takes every device a scan finds; the rules about what a scan result means
// for those options live here, apart from the network, so they read (and are
// tested) as a table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq::cli {

// What tells devices apart for the user.
struct DeviceIdentity {
    uint64_t ean = 0;
    uint64_t serial = 0;
    std::string address;  // "127.0.0.1:4000", "[fe80::1%3]:4000"
};

// "1001@127.0.0.1:4000": the name of a device in fleet output. The address
// keeps it unique where serial numbers are not (devices of different EANs).
std::string device_label(const DeviceIdentity& device);

// Indices into `found` (a scan's result) of the devices chosen, in the order
// the serial numbers were given (scan order for --all), each device once:
//  - all: every device; none found fails;
//  - serials: the one device of each serial number. A serial number that
//    several devices share is a usage error listing them (never the first
//    match: flash would write to a device the user did not mean); serial
//    numbers that match nothing fail, naming them;
//  - neither: the only device found; several are a usage error.
// Throws Failure; `scanned_ms` only goes into its text.
std::vector<size_t> pick_scanned(const std::vector<DeviceIdentity>& found, const std::vector<uint64_t>& serials,
                                 bool all, unsigned scanned_ms);

// Two selected devices with the same EAN and serial number are one device
// reached twice (two --address of one host); updating it over two connections
// at once would interleave two transfers. Throws a usage Failure naming them.
void require_distinct(const std::vector<DeviceIdentity>& selected);

}  // namespace tq::cli
