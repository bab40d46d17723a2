// The plenko-tq executable itself: exit statuses, which stream carries what,
// and that the client library's own diagnostic lines (written to descriptor
// 1) never mix into results that scripts parse.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli.hpp"
#include "cli/format.hpp"
#include "cli_support.hpp"

namespace tq::cli {
namespace {

using test::run_process;
using ::testing::HasSubstr;

class CliProcess : public ::testing::Test {
protected:
    void SetUp() override {
        sim::DeviceModel m;
        m.interfaces[1].cable_harness = 3;  // a value the client has no name for
        sim_ = std::make_unique<sim::Simulator>(std::vector<sim::DeviceModel>{m});
        sim_->start();
    }
    std::string address() const { return test::address_of(*sim_); }
    std::unique_ptr<sim::Simulator> sim_;
};

TEST_F(CliProcess, results_go_to_stdout_and_nothing_else) {
    const auto r = run_process({"info", "--json", "--address", address()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Json::parse(r.out).at("serial"), 1001);
}

TEST_F(CliProcess, library_diagnostics_go_to_stderr_before_the_error_line) {
    const auto r = run_process({"cable-test", "1", "--json", "--address", address()});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::lines(r.err),
              (std::vector<std::string>{"Conversion error not implemented, Encountered invalid harness status",
                                        "plenko-tq: the device answered with a value this tool does not know"}));
}

TEST_F(CliProcess, flash_into_a_pipe_prints_plain_lines) {
    const std::string path = ::testing::TempDir() + "cli_process_flash.bin";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const std::vector<char> bytes(5000, 'x');
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    const auto r = run_process({"flash", path, "--address", address()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_THAT(r.out, HasSubstr("update started: 5000 bytes\n"));
    EXPECT_THAT(r.out, HasSubstr("update finished: Success\n"));
}

struct UsageCase {
    std::vector<std::string> args;
    int status;
    bool help_on_stdout;
};

TEST(CliProcessUsage, help_succeeds_on_stdout_and_mistakes_fail_with_one_stderr_line) {
    const UsageCase cases[] = {
        {{"--help"}, 0, true},
        {{"pg", "set", "--help"}, 0, true},
        {{}, kExitUsage, false},
        {{"frobnicate"}, kExitUsage, false},
        {{"dcq", "x", "--address", "127.0.0.1:9"}, kExitUsage, false},
    };
    for (const auto& c : cases) {
        const auto r = run_process(c.args);
        const std::string what = c.args.empty() ? "(no arguments)" : c.args.front();
        EXPECT_EQ(r.status, c.status) << what;
        if (c.help_on_stdout) {
            EXPECT_THAT(r.out, HasSubstr("Usage: plenko-tq")) << what;
            EXPECT_EQ(r.err, "") << what;
        } else {
            EXPECT_EQ(r.out, "") << what;
            EXPECT_EQ(test::lines(r.err).size(), 1u) << r.err;
            EXPECT_THAT(r.err, ::testing::StartsWith("plenko-tq: ")) << what;
        }
    }
}

}  // namespace
}  // namespace tq::cli
