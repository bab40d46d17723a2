// Where diagnostic lines go: standard output, or the calling thread's sink
// (also from threads it carried it to), with the device they concern.
#include "client/diagnostics.hpp"

#include <gmock/gmock.h>

#include <mutex>
#include <thread>

#include "sim_fixture.hpp"

namespace tq::test {
namespace {

using Lines = std::vector<std::string>;  // "where|line"

struct Collected {
    std::mutex mutex;
    Lines lines;
    DiagnosticSink sink{[](void* ctx, std::string_view line, std::string_view where) noexcept {
                            auto* self = static_cast<Collected*>(ctx);
                            const std::lock_guard lock(self->mutex);
                            self->lines.push_back(std::string(where) + "|" + std::string(line));
                        },
                        this};
};

struct RouteCase {
    const char* name;
    bool with_sink;
    bool from_carried_thread;
    bool about_device;
    const char* stdout_text;
    Lines to_sink;
};

class LineRouteTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(LineRouteTest, line_goes_to_the_calling_threads_sink_or_standard_output) {
    const RouteCase& c = GetParam();
    Collected collected;
    const DiagnosticScope scope(c.with_sink ? &collected.sink : nullptr);
    ServiceAddress a;
    ServiceAddress::parse("127.0.0.1", a);
    const SocketAddress device(a, 5000);
    const SocketAddress* before = exchange_diagnostic_device(c.about_device ? &device : nullptr);
    testing::internal::CaptureStdout();
    auto report = [] { report_line("a line"); };
    c.from_carried_thread ? std::thread(carry_diagnostics(report)).join() : report();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.stdout_text);
    exchange_diagnostic_device(before);
    EXPECT_EQ(collected.lines, c.to_sink);
}

INSTANTIATE_TEST_SUITE_P(Routes, LineRouteTest,
                         ::testing::Values(RouteCase{"no_sink", false, true, true, "a line\n", {}},
                                           RouteCase{"carried_thread", true, true, false, "", {"|a line"}},
                                           RouteCase{"device_set", true, false, true, "", {"127.0.0.1:5000|a line"}}),
                         [](const auto& info) { return std::string(info.param.name); });

class DiagnosticDeviceTest : public SimTest {};

// While a transaction holds the device's lock its lines concern that device.
TEST_F(DiagnosticDeviceTest, conversion_line_of_a_transaction_names_its_device) {
    start();
    Device d = device();
    fault(19, once({.raw = bytes({0x14, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x01})}));
    Collected collected;
    const DiagnosticScope scope(&collected.sink);
    EXPECT_ERROR(d.get_interfaces().value().at(1).get_status(), NotImplemented, "");
    report_line("after the call");
    EXPECT_EQ(collected.lines, (Lines{d.address().to_string() + "|Conversion error not implemented, Unable to convert "
                                                                "both full and half duplex at the same time",
                                      "|after the call"}));
}

}  // namespace
}  // namespace tq::test
