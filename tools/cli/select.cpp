#include "cli/select.hpp"

#include <algorithm>

#include "cli/cli.hpp"
#include "client/ean.hpp"

namespace tq::cli {

namespace {

std::string joined(const std::vector<std::string>& items, const char* separator = ", ") {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

std::string ean_at(const DeviceIdentity& d) {
    return format_ean(d.ean) + " at " + d.address;
}

}  // namespace

std::string device_label(const DeviceIdentity& device) {
    return std::to_string(device.serial) + "@" + device.address;
}

std::vector<size_t> pick_scanned(const std::vector<DeviceIdentity>& found, const std::vector<uint64_t>& serials,
                                 bool all, unsigned scanned_ms) {
    const std::string scanned = " (scanned for " + std::to_string(scanned_ms) + " ms)";
    std::vector<size_t> picked;
    if (all || serials.empty()) {
        if (found.empty()) throw Failure("no device found" + scanned);
        if (!all && found.size() > 1) {
            throw Failure(std::to_string(found.size()) + " devices found; choose one with --serial or --address",
                          kExitUsage);
        }
        for (size_t i = 0; i < found.size(); ++i) picked.push_back(i);
        return picked;
    }
    std::vector<std::string> missing;
    for (const uint64_t serial : serials) {
        std::vector<size_t> matches;
        for (size_t i = 0; i < found.size(); ++i) {
            if (found[i].serial == serial) matches.push_back(i);
        }
        if (matches.size() > 1) {
            std::vector<std::string> which;
            which.reserve(matches.size());
            for (const size_t i : matches) which.push_back(ean_at(found[i]));
            throw Failure("serial number " + std::to_string(serial) + " matches " + std::to_string(matches.size()) +
                              " devices: " + joined(which) + "; choose one with --address",
                          kExitUsage);
        }
        if (matches.empty()) {
            missing.push_back(std::to_string(serial));
        } else if (std::find(picked.begin(), picked.end(), matches.front()) == picked.end()) {
            picked.push_back(matches.front());
        }
    }
    if (missing.size() == 1) throw Failure("no device with serial number " + missing.front() + " found" + scanned);
    if (!missing.empty()) throw Failure("no devices with serial numbers " + joined(missing) + " found" + scanned);
    return picked;
}

void require_distinct(const std::vector<DeviceIdentity>& selected) {
    for (size_t i = 0; i < selected.size(); ++i) {
        for (size_t j = i + 1; j < selected.size(); ++j) {
            const auto& a = selected[i];
            const auto& b = selected[j];
            if (a.ean == b.ean && a.serial == b.serial) {
                throw Failure(a.address + " and " + b.address + " are the same device (" + format_ean(a.ean) +
                                  ", serial number " + std::to_string(a.serial) + "); give it once",
                              kExitUsage);
            }
        }
    }
}

}  // namespace tq::cli
