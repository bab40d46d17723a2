// Where diagnostic lines go: standard output, or the sink of the thread that
// made the call (also from the threads it carried it to), with the address
// of the device they concern.
#include "client/diagnostics.hpp"

#include <gmock/gmock.h>

#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim_fixture.hpp"

namespace tq::test {
namespace {

struct Collected {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> lines;  // (line, where)
    DiagnosticSink sink{[](void* ctx, std::string_view line, std::string_view where) noexcept {
                            auto* self = static_cast<Collected*>(ctx);
                            const std::lock_guard lock(self->mutex);
                            self->lines.emplace_back(line, where);
                        },
                        this};
};

enum class From { Caller, CarriedThread, PlainThread };

struct RouteCase {
    const char* name;
    bool with_sink;
    From from;
    bool about_device;  // the caller has set the device the line concerns
    bool to_sink;       // else standard output
    const char* where;
};

class LineRouteTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(LineRouteTest, line_reaches_the_sink_of_the_calling_thread_or_standard_output) {
    const RouteCase& c = GetParam();
    Collected collected;
    const DiagnosticScope scope(c.with_sink ? &collected.sink : nullptr);
    ServiceAddress a;
    ServiceAddress::parse("127.0.0.1", a);
    const SocketAddress device(a, 5000);
    const SocketAddress* before = exchange_diagnostic_device(c.about_device ? &device : nullptr);
    testing::internal::CaptureStdout();
    auto report = [] { report_line("a line"); };
    switch (c.from) {
        case From::Caller:
            report();
            break;
        case From::CarriedThread:
            std::thread(carry_diagnostics(report)).join();
            break;
        case From::PlainThread:
            std::thread(report).join();
            break;
    }
    const std::string out = testing::internal::GetCapturedStdout();
    exchange_diagnostic_device(before);
    if (c.to_sink) {
        EXPECT_EQ(out, "");
        EXPECT_THAT(collected.lines, ::testing::ElementsAre(std::pair<std::string, std::string>("a line", c.where)));
    } else {
        EXPECT_EQ(out, "a line\n");
        EXPECT_THAT(collected.lines, ::testing::IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routes, LineRouteTest,
    ::testing::Values(RouteCase{"no_sink_writes_standard_output", false, From::Caller, false, false, ""},
                      RouteCase{"sink_takes_the_callers_line", true, From::Caller, false, true, ""},
                      RouteCase{"sink_takes_a_carried_threads_line", true, From::CarriedThread, false, true, ""},
                      RouteCase{"thread_not_carried_writes_standard_output", true, From::PlainThread, false, false, ""},
                      RouteCase{"line_names_the_device_set", true, From::Caller, true, true, "127.0.0.1:5000"}),
    [](const auto& info) { return std::string(info.param.name); });

class DiagnosticDeviceTest : public SimTest {};

// A line written while a device's connection lock is held concerns that
// device; once the call has returned, no device is set.
TEST_F(DiagnosticDeviceTest, conversion_line_of_a_transaction_names_its_device) {
    start();
    Device d = device();
    const Interface p = d.get_interfaces().value().at(1);
    fault(19, once({.raw = bytes({0x14, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x01})}));
    Collected collected;
    const DiagnosticScope scope(&collected.sink);
    EXPECT_ERROR(p.get_status(), NotImplemented, "");
    report_line("after the call");
    EXPECT_THAT(collected.lines,
                ::testing::ElementsAre(
                    std::pair<std::string, std::string>(
                        "Conversion error not implemented, Unable to convert both full and half duplex at the same time",
                        d.address().to_string()),
                    std::pair<std::string, std::string>("after the call", "")));
}

}  // namespace
}  // namespace tq::test
