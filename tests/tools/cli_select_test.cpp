// Which scanned devices --serial, repeated --serial and --all select, and the
// errors that stop a command before it touches any device.
#include <gtest/gtest.h>

#include "cli/cli.hpp"
#include "cli/select.hpp"

namespace tq::cli {
namespace {

constexpr uint64_t kEanA = 0x4062138020019, kEanB = 0x4062138020026;

// A scan's result, in its (EAN, serial) order; serial 5 exists under two EANs.
const std::vector<DeviceIdentity> kFound = {
    {kEanA, 5, "10.0.0.1:4000"},
    {kEanA, 7, "10.0.0.2:4000"},
    {kEanA, 9, "10.0.0.3:4000"},
    {kEanB, 5, "10.0.0.4:4000"},
};

struct PickCase {
    const char* name;
    std::vector<DeviceIdentity> found;
    std::vector<uint64_t> serials;
    bool all;
    std::vector<size_t> picked;  // when it succeeds
    int code = kExitOk;          // otherwise
    const char* error = "";
};

void PrintTo(const PickCase& c, std::ostream* os) {
    *os << c.name;
}

class PickScanned : public ::testing::TestWithParam<PickCase> {};

TEST_P(PickScanned, selects_by_the_rules_or_refuses_with_a_sentence) {
    const auto& c = GetParam();
    try {
        EXPECT_EQ(pick_scanned(c.found, c.serials, c.all, 700), c.picked);
        EXPECT_EQ(c.code, kExitOk) << "expected: " << c.error;
    } catch (const Failure& f) {
        EXPECT_EQ(f.code, c.code);
        EXPECT_EQ(std::string(f.what()), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PickScanned,
    ::testing::Values(
        PickCase{"all_takes_every_device_in_scan_order", kFound, {}, true, {0, 1, 2, 3}},
        PickCase{"all_with_nothing_found_fails", {}, {}, true, {}, kExitFailed, "no device found (scanned for 700 ms)"},
        PickCase{"serials_in_the_order_given", kFound, {9, 7}, false, {2, 1}},
        PickCase{"a_repeated_serial_counts_once", kFound, {7, 9, 7}, false, {1, 2}},
        PickCase{"one_missing_serial_fails_naming_it",
                 kFound,
                 {7, 99},
                 false,
                 {},
                 kExitFailed,
                 "no device with serial number 99 found (scanned for 700 ms)"},
        PickCase{"several_missing_serials_fail_naming_all",
                 kFound,
                 {98, 7, 99},
                 false,
                 {},
                 kExitFailed,
                 "no devices with serial numbers 98, 99 found (scanned for 700 ms)"},
        PickCase{"a_serial_of_two_devices_is_a_usage_error_listing_them",
                 kFound,
                 {7, 5},
                 false,
                 {},
                 kExitUsage,
                 "serial number 5 matches 2 devices: 40-62138-02001-9 at 10.0.0.1:4000, 40-62138-02002-6 at "
                 "10.0.0.4:4000; choose one with --address"},
        PickCase{"no_option_takes_the_only_device", {kFound[1]}, {}, false, {0}},
        PickCase{"no_option_and_several_devices_is_a_usage_error",
                 kFound,
                 {},
                 false,
                 {},
                 kExitUsage,
                 "4 devices found; choose one with --serial or --address"},
        PickCase{"no_option_and_nothing_found_fails",
                 {},
                 {},
                 false,
                 {},
                 kExitFailed,
                 "no device found (scanned for 700 ms)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequireDistinct, refuses_one_device_reached_at_two_addresses) {
    EXPECT_NO_THROW(require_distinct(kFound));
    try {
        require_distinct({kFound[0], kFound[1], {kEanA, 7, "[::1]:4000"}});
        ADD_FAILURE() << "accepted the same device twice";
    } catch (const Failure& f) {
        EXPECT_EQ(f.code, kExitUsage);
        EXPECT_EQ(std::string(f.what()),
                  "10.0.0.2:4000 and [::1]:4000 are the same device (40-62138-02001-9, serial number 7); give it once");
    }
}

}  // namespace
}  // namespace tq::cli
