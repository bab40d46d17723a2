// plenko-tq scan and device selection by serial number, against simulated
// devices advertised by DNS-SD from the other host of a private veth pair.
// Sends real mDNS, so the binary runs itself inside scripts/netns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "cli/cli.hpp"
#include "cli/format.hpp"
#include "cli_support.hpp"
#include "discovery_support.hpp"

namespace tq::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Long enough for a resolution even under load.
const std::string kWaitMs = "700";

tq::testing::SimOptions sim_with(uint64_t serial, const char* ean, size_t devices = 1) {
    tq::testing::SimOptions o;
    o.serial = serial;
    o.ean = ean;
    o.devices = devices;
    return o;
}

std::vector<uint64_t> serials(const Json& rows) {
    std::vector<uint64_t> out;
    for (const auto& row : rows) out.push_back(row.at("serial").get<uint64_t>());
    return out;
}

TEST(CliScan, lists_devices_sorted_by_ean_then_serial_with_formatted_eans) {
    const auto sims = tq::testing::start_sims({sim_with(500, "4062138020019", 2), sim_with(900, "4062138020002")});
    ASSERT_EQ(sims.size(), 2u);
    const auto r = test::run_in_process({"scan", "--json", "--timeout", kWaitMs});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    const auto rows = Json::parse(r.out);
    EXPECT_THAT(serials(rows), ::testing::ElementsAre(900u, 500u, 501u));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].at("ean"), "40-62138-02000-2");
    EXPECT_EQ(rows[1].at("ean"), "40-62138-02001-9");
    EXPECT_EQ(rows[1].at("firmware"), "2.4.1");
    EXPECT_FALSE(rows[1].at("name").get<std::string>().empty());
    EXPECT_THAT(rows[1].at("address").get<std::string>(), HasSubstr(std::to_string(sims[0]->ports[0])));

    const auto text = test::run_in_process({"scan", "--timeout", kWaitMs});
    ASSERT_EQ(text.status, kExitOk) << text.err;
    const auto lines = test::lines(text.out);
    ASSERT_EQ(lines.size(), 4u) << text.out;
    EXPECT_THAT(lines[0], StartsWith("EAN               SERIAL  NAME"));
    EXPECT_THAT(lines[1], StartsWith("40-62138-02000-2  900"));
}

TEST(CliScan, an_empty_network_prints_no_rows_and_says_so_on_stderr) {
    const auto r = test::run_in_process({"scan", "--timeout", "200"});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "no devices found\n");
    const auto json = test::run_in_process({"scan", "--json", "--timeout", "200"});
    EXPECT_EQ(json.status, kExitOk);
    EXPECT_EQ(Json::parse(json.out), Json::array());
}

TEST(CliScan, json_on_stdout_stays_parseable_when_the_library_reports_a_skipped_device) {
    auto refused = sim_with(10, "4062138020019");
    refused.refused = true;
    const auto sims = tq::testing::start_sims({refused});
    ASSERT_EQ(sims.size(), 1u);
    const auto r = test::run_process({"scan", "--json", "--timeout", kWaitMs});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_THAT(serials(Json::parse(r.out)), ::testing::ElementsAre(10u));
    EXPECT_EQ(r.err, "Failed to connect to device NetworkError\n");
}

TEST(CliSelect, serial_picks_that_device_among_several) {
    const auto sims = tq::testing::start_sims({sim_with(31, "4062138020019", 3)});
    ASSERT_EQ(sims.size(), 1u);
    const auto r = test::run_in_process({"info", "--json", "--serial", "32", "--timeout", kWaitMs});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(Json::parse(r.out).at("serial"), 32);

    const auto missing = test::run_in_process({"info", "--serial", "99", "--timeout", kWaitMs});
    EXPECT_EQ(missing.status, kExitFailed);
    EXPECT_EQ(missing.err, "plenko-tq: no device with serial number 99 found (scanned for " + kWaitMs + " ms)\n");

    const auto ambiguous = test::run_in_process({"info", "--timeout", kWaitMs});
    EXPECT_EQ(ambiguous.status, kExitUsage);
    EXPECT_EQ(ambiguous.err, "plenko-tq: 3 devices found; choose one with --serial or --address\n");

    const auto all = test::run_in_process({"info", "--json", "--all", "--timeout", kWaitMs});
    ASSERT_EQ(all.status, kExitOk) << all.err;
    std::vector<uint64_t> all_serials;
    for (const auto& line : test::lines(all.out)) all_serials.push_back(Json::parse(line).at("serial"));
    EXPECT_THAT(all_serials, ::testing::ElementsAre(31u, 32u, 33u));
}

TEST(CliSelect, the_only_device_is_used_without_selection) {
    const auto sims = tq::testing::start_sims({sim_with(77, "4062138020019")});
    ASSERT_EQ(sims.size(), 1u);
    const auto r = test::run_in_process({"identify", "0", "--timeout", kWaitMs});
    EXPECT_EQ(r.status, kExitOk) << r.err;

    const auto none = test::run_in_process({"nickname", "--timeout", "200", "--serial", "1"});
    EXPECT_EQ(none.status, kExitFailed);
    EXPECT_EQ(none.err, "plenko-tq: no device with serial number 1 found (scanned for 200 ms)\n");
}

}  // namespace
}  // namespace tq::cli

int main(int argc, char** argv) {
    if (const auto status = tq::testing::enter_private_network(argc, argv)) return *status;
    ::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
