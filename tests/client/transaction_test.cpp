// The request transaction: version gate, lock, failure texts, and the stream
// staying in step after faults.
#include <signal.h>

#include <atomic>
#include <thread>

#include <gmock/gmock.h>

#include "client/connection.hpp"
#include "client/interrupt.hpp"
#include "client/lock_wait.hpp"
#include "net/platform.hpp"
#include "op_table.hpp"
#include "sim_fixture.hpp"

namespace tq::test {
namespace {

class TransactionTest : public SimTest {};

sim::DeviceModel version(uint32_t v) {
    sim::DeviceModel m;
    m.protocol_version = v;
    return m;
}

TEST_F(TransactionTest, version_1_device_refuses_version_2_operations_before_writing) {
    start_one(version(1));
    Device d = device();
    const Interface port = d.get_interfaces().value().at(0);
    for (const OpRow& row : operation_table()) {
        SCOPED_TRACE(row.name);
        const size_t before = commands().size();
        const auto err = row.call(d, port);
        if (row.v2_only) {
            ASSERT_TRUE(err.has_value());
            EXPECT_EQ(err->kind(), Error::Kind::ApiNotAvailableInProtocolVersion);
            // A request that follows is the only one the device sees.
            ASSERT_TRUE(d.get_name());
            EXPECT_EQ(commands().size(), before + 1);
            EXPECT_EQ(commands().back(), 3);
        } else {
            EXPECT_FALSE(err.has_value()) << err->debug_text();
            ASSERT_EQ(commands().size(), before + 1);
            EXPECT_EQ(commands().back(), row.request);
        }
    }
}

// A text argument with a NUL is refused for what it is, even where the
// command is not in the device's version.
TEST_F(TransactionTest, text_with_nul_is_refused_before_the_version_gate) {
    start_one(version(1));
    Device d = device();
    const Interface port = d.get_interfaces().value().at(0);
    const size_t before = commands().size();
    const std::string nickname{"ab\0c", 4};
    EXPECT_ERROR(d.set_nickname(nickname), Utf8Error, "Failed to encode " + nickname + " as utf-8 cstring");
    EXPECT_ERROR(port.set_nickname(nickname), Utf8Error, "Failed to encode " + nickname + " as utf-8 cstring");
    EXPECT_EQ(commands().size(), before);
}

// Once the device is gone, every call fails before its request is sent: the
// connection it had is closed, and the one it would open is refused.
TEST_F(TransactionTest, every_operation_names_itself_when_its_request_cannot_be_sent) {
    start();
    Device d = device();
    const Interface port = d.get_interfaces().value().at(0);
    const std::string at = d.address().to_string();
    sim().stop();
    (void)d.get_name();  // meets the closed connection
    for (const OpRow& row : operation_table()) {
        SCOPED_TRACE(row.name);
        const auto err = row.call(d, port);
        ASSERT_TRUE(err.has_value());
        EXPECT_EQ(err->kind(), Error::Kind::TcpStreamWriteError);
        EXPECT_EQ(err->text(), "Failed to send " + row.name + " request");
        EXPECT_THAT(err->detail(), ::testing::StartsWith("cannot reconnect to " + at + ": Connection refused"));
    }
}

// A peer that closes the connection: that call fails, the next one opens a
// new connection (and the client never raises SIGPIPE, whose default action
// would end the process).
TEST_F(TransactionTest, closed_peer_fails_the_call_and_the_next_one_reconnects) {
#ifdef SIGPIPE  // Windows has no such signal
    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    ASSERT_EQ(current.sa_handler, SIG_DFL);
#endif
    start();
    Device d = device();
    fault(33, once({.close = true}));
    EXPECT_ERROR(d.get_firmware_version(), TcpStreamReadError, "Failed to read packet header");
    EXPECT_EQ(d.get_name().value(), "TQ Ethernet Interface");
    EXPECT_EQ(d.connection()->reopened, 1u);
    EXPECT_EQ(sim().connections_accepted(0), 2u);
}

// The new connection's handshake must name the same device; otherwise the
// call fails without sending its request, and the next one tries again.
TEST_F(TransactionTest, reconnect_to_another_device_fails_without_sending) {
    start();
    Device d = device();
    fault(3, once({.close = true}));
    EXPECT_ERROR(d.get_name(), TcpStreamReadError, "Failed to read packet header");
    sim().with_device(0, [](sim::DeviceModel& m) { m.serial_number = 1002; });
    sim().clear_requests();
    const auto r = d.get_pcb_revision();
    EXPECT_ERROR(r, TcpStreamWriteError,
                 "Failed to send tq_sdk_client::device::Device::get_pcb_revision::{{closure}} request");
    EXPECT_EQ(r.error().detail(), "cannot reconnect to " + d.address().to_string() +
                                      ": another device answers there (EAN 40-62138-02001-9, serial number 1002, not "
                                      "EAN 40-62138-02001-9, serial number 1001)");
    EXPECT_EQ(commands(), (std::vector<uint16_t>{1, 39, 29}));
    sim().with_device(0, [](sim::DeviceModel& m) { m.serial_number = 1001; });
    EXPECT_EQ(d.get_pcb_revision().value(), "B");
    EXPECT_EQ(d.get_serial_number(), 1001u);
}

TEST_F(TransactionTest, header_only_response_completes_the_exchange) {
    start();
    Device d = device();
    const Interface port = d.get_interfaces().value().at(1);
    EXPECT_TRUE(port.set_loopback_state(true));  // answer 88 is the header alone
    EXPECT_EQ(port.get_loopback_state(), true);
    // A header-only answer where a text was due is the decoder's business.
    fault(3, once({.raw = bytes({0x04, 0x00, 0x00, 0x00})}));
    EXPECT_ERROR(d.get_name(), ApiError,
                 "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_PACKET_TRYING_TO_READ_BEYOND_PAYLOAD_SIZE\"");
    EXPECT_EQ(d.get_name().value(), "TQ Ethernet Interface");
}

TEST_F(TransactionTest, partial_payload_is_a_payload_read_error) {
    start();
    Device d = device();
    fault(3, once({.partial = 3}));
    EXPECT_ERROR(d.get_name(), TcpStreamReadError, "Failed to read remaining payload");
    EXPECT_EQ(d.get_pcb_revision().value(), "B");
}

TEST_F(TransactionTest, silent_device_gives_header_read_error) {
    start();
    Device d = device();
    fault(41, once({.delay = 4 * kTestTimeout}));
    EXPECT_ERROR(d.get_pcb_revision(), TcpStreamReadError, "Failed to read packet header");
}

// A transfer failure keeps the system error number beside the fixed text: a device that
// does not answer in time, one that closed the connection and one that
// cannot be reached again are told apart; an answer of the wrong form has none.
struct CauseCase {
    const char* name;
    sim::Fault fault;
    bool then_device_stops;  // the error is then the next call's
    const char* text;
    int cause;
};

class TransferCauseTest : public SimTest, public ::testing::WithParamInterface<CauseCase> {};

TEST_P(TransferCauseTest, failure_keeps_its_cause) {
    start();
    Device d = device();
    fault(3, once(GetParam().fault));
    auto r = d.get_name();
    if (GetParam().then_device_stops) {
        sim().stop();
        r = d.get_name();
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text(), GetParam().text);
    EXPECT_EQ(r.error().os_error(), GetParam().cause) << os::error_text(r.error().os_error());
}

constexpr const char* kHeader = "Failed to read packet header";
constexpr const char* kPayload = "Failed to read remaining payload";
INSTANTIATE_TEST_SUITE_P(
    Causes, TransferCauseTest,
    ::testing::Values(CauseCase{"no_answer", {.delay = 4 * kTestTimeout}, false, kHeader, os::err::kTimedOut},
                      CauseCase{"payload_stalled", {.partial = 2}, false, kPayload, os::err::kTimedOut},
                      CauseCase{"closed", {.close = true}, false, kHeader, os::err::kConnectionReset},
                      CauseCase{"reconnect_refused", {.close = true}, true,
                                "Failed to send tq_sdk_client::device::Device::get_name::{{closure}} request",
                                os::err::kConnectionRefused},
                      CauseCase{"oversize", {.oversize = 5000}, false, kPayload, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransactionTest, oversize_header_is_refused_and_the_next_call_gets_its_own_answer) {
    start();
    Device d = device();
    fault(3, once({.oversize = 5000}));
    EXPECT_ERROR(d.get_name(), TcpStreamReadError, "Failed to read remaining payload");
    EXPECT_EQ(d.get_firmware_version().value(), "2.4.1");
    // The largest payload that fits is read and decoded: a zero text count, then padding.
    fault(3, once({.oversize = 4092}));
    EXPECT_EQ(d.get_name().value(), "");
    EXPECT_EQ(d.get_firmware_version().value(), "2.4.1");
}

// Two ports whose statuses differ in every field, so that one port's answer
// cannot pass for the other's: both come back under the same response code.
sim::DeviceModel two_distinct_ports() {
    sim::DeviceModel m;
    m.interfaces[0].type = 0;
    m.interfaces[0].eth_config = sim::mode::k100Mbit | sim::mode::kFullDuplex | sim::mode::kLeader;
    m.interfaces[1].type = 2;
    m.interfaces[1].eth_config = sim::mode::k1000Mbit | sim::mode::kFullDuplex | sim::mode::kFollower;
    return m;
}

void expect_status_of_port(const Result<InterfaceStatus>& status, uint32_t port) {
    ASSERT_TRUE(status) << status.error().debug_text();
    EXPECT_EQ(status->interface_type, port == 0 ? InterfaceType::T1 : InterfaceType::T);
    EXPECT_EQ(status->eth_interface_status.speed,
              port == 0 ? EthLinkSpeed::Speed100MbitFullDuplex : EthLinkSpeed::Speed1000MbitFullDuplex);
    EXPECT_EQ(status->eth_interface_status.role, port == 0 ? EthRole::Leader : EthRole::Follower);
}

// Port 1 is asked at once, then ten calls alternate the ports, `gap` apart.
void expect_every_call_gets_its_own_answer(const std::vector<Interface>& ports,
                                           std::chrono::milliseconds gap = std::chrono::milliseconds(0)) {
    expect_status_of_port(ports[1].get_status(), 1);
    for (uint32_t i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        std::this_thread::sleep_for(gap);
        expect_status_of_port(ports[i % 2].get_status(), i % 2);
    }
}

std::chrono::milliseconds timeouts(double n) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(n * kTestTimeout);
}

// Port 0 answers the parameter's timeouts after its request, under the same
// code as port 1's answers; the calls that follow span the moment it
// arrives. However late it comes, no later call takes it: the call after
// the timeout runs on a new connection.
class LateAnswerTest : public SimTest, public ::testing::WithParamInterface<double> {};

TEST_P(LateAnswerTest, late_answer_to_a_timed_out_request_is_never_taken_for_another) {
    start_one(two_distinct_ports());
    Device d = device();
    const auto ports = d.get_interfaces().value();
    fault(19, once({.delay = timeouts(GetParam())}));
    EXPECT_ERROR(ports[0].get_status(), TcpStreamReadError, "Failed to read packet header");
    expect_every_call_gets_its_own_answer(ports, timeouts(0.5));
    EXPECT_EQ(d.connection()->reopened, 1u);
}

INSTANTIATE_TEST_SUITE_P(Lateness, LateAnswerTest, ::testing::Values(1.5, 3.0, 4.0), [](const auto& info) {
    return "late_" + std::to_string(static_cast<int>(info.param * 100)) + "_percent_of_a_timeout";
});

// A packet under a code that answers another request: the call fails with the
// decoder's protocol error, and an answer that may still follow is not taken
// by the next call.
struct ForeignCase {
    const char* name;
    sim::Fault fault;
};

class ForeignPacketTest : public SimTest, public ::testing::WithParamInterface<ForeignCase> {};

TEST_P(ForeignPacketTest, foreign_code_fails_the_call_and_the_stream_is_not_read_again) {
    start_one(two_distinct_ports());
    Device d = device();
    const auto ports = d.get_interfaces().value();
    fault(19, once(GetParam().fault));
    EXPECT_ERROR(ports[0].get_status(), ApiError,
                 "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_PROTOCOL_ERROR\"");
    expect_every_call_gets_its_own_answer(ports);
}

INSTANTIATE_TEST_SUITE_P(Packets, ForeignPacketTest,
                         ::testing::Values(ForeignCase{"answer_follows", {.wrong_code = true}},
                                           ForeignCase{"nothing_follows", {.raw = bytes({0x16, 0x00, 0x00, 0x00})}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Each exchange as a whole is bounded: the header within one receive timeout
// of the request, the payload within one more of the header, however the
// bytes are spread.
struct SlowCase {
    const char* name;
    sim::Fault fault;
    const char* error;  // nullptr: the call succeeds
    double bound;       // in receive timeouts, with room for a loaded machine
};

class SlowAnswerTest : public SimTest, public ::testing::WithParamInterface<SlowCase> {};

TEST_P(SlowAnswerTest, exchange_ends_within_its_deadline) {
    start();
    Device d = device();
    fault(3, once(GetParam().fault));
    const auto began = std::chrono::steady_clock::now();
    const auto name = d.get_name();
    const auto took = std::chrono::steady_clock::now() - began;
    if (GetParam().error == nullptr) {
        EXPECT_EQ(name.value(), "TQ Ethernet Interface");
    } else {
        EXPECT_ERROR(name, TcpStreamReadError, GetParam().error);
    }
    EXPECT_LT(took, GetParam().bound * kTestTimeout);
}

// Bounded per receive only, the trickled answers would take 13, 6.5 and
// about 16 000 timeouts.
INSTANTIATE_TEST_SUITE_P(
    Spreads, SlowAnswerTest,
    ::testing::Values(SlowCase{"header_late_payload_one_more_timeout_later",
                               {.delay = timeouts(0.6), .split = timeouts(0.9)},
                               nullptr,
                               3},
                      SlowCase{"header_trickled", {.trickle = timeouts(0.5)}, "Failed to read packet header", 2},
                      SlowCase{"payload_trickled", {.trickle = timeouts(0.25)}, "Failed to read remaining payload", 3},
                      SlowCase{"payload_stalled", {.partial = 2}, "Failed to read remaining payload", 1.8},
                      SlowCase{"oversize_trickled",
                               {.oversize = 65535, .trickle = timeouts(0.25)},
                               "Failed to read remaining payload",
                               3}),
    [](const auto& info) { return std::string(info.param.name); });

struct ErrorResponseCase {
    uint16_t service_status;
    Error::Kind kind;
    std::string text;
};

class ErrorResponseTest : public SimTest, public ::testing::WithParamInterface<ErrorResponseCase> {};

TEST_P(ErrorResponseTest, error_response_maps_through_the_protocol_status) {
    start();
    Device d = device();
    fault(41, once({.error_status = GetParam().service_status}));
    EXPECT_ERROR(d.get_pcb_revision(), GetParam().kind, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ErrorResponseTest,
    ::testing::Values(ErrorResponseCase{5, Error::Kind::ApiError,
                                        "An error ocurred in the protocol "
                                        "\"TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_DEVICE\""},
                      ErrorResponseCase{1, Error::Kind::ApiNotAvailableInProtocolVersion, ""},
                      ErrorResponseCase{2, Error::Kind::ApiError,
                                        "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_SERVICE_API_ERROR\""},
                      ErrorResponseCase{13, Error::Kind::ApiError,
                                        "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_BUFFER_TOO_SMALL\""}));

TEST_F(TransactionTest, error_response_with_success_status_leaves_the_starting_values) {
    start();
    Device d = device();
    fault(3, once({.error_status = 0}));
    EXPECT_EQ(d.get_name().value(), "");
    fault(7, once({.error_status = 0}));
    EXPECT_ERROR(d.identify(), ApiError, "Encountered an unspecified error");
}

struct StatusCase {
    uint16_t status;
    Error::Kind kind;
    std::string text;
};

class StatusFieldTest : public SimTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusFieldTest, status_field_maps_by_service_status) {
    start();
    Device d = device();
    fault(7, once({.status = GetParam().status}));
    EXPECT_ERROR(d.identify(), GetParam().kind, GetParam().text);
    const Interface port = d.get_interfaces().value().at(0);
    fault(21, once({.status = GetParam().status}));
    EXPECT_ERROR(port.identify(), GetParam().kind, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Statuses, StatusFieldTest,
                         ::testing::Values(StatusCase{2, Error::Kind::ApiError, "Encountered an unspecified error"},
                                           StatusCase{3, Error::Kind::RemoteOperationFailed, ""},
                                           StatusCase{4, Error::Kind::RemoteOperationNotSupportedByDevice, ""},
                                           StatusCase{5, Error::Kind::RemoteOperationNotSupportedByDevice, ""},
                                           StatusCase{6, Error::Kind::RemoteOperationNotSupportedByInterface, ""},
                                           StatusCase{19, Error::Kind::RemoteOperationNotSupportedByDevice, ""},
                                           StatusCase{40, Error::Kind::RemoteOperationNotSupportedByDevice, ""}));

// Firmware callbacks that run a test's code at a chosen step.
struct HookCallbacks : FirmwareUpdateCallbacks {
    std::function<void()> on_started = [] {};
    std::function<void()> on_progress = [] {};
    void update_started(uint64_t) override { on_started(); }
    void report_progress(uint64_t) override { on_progress(); }
    void start_finalizing() override {}
    void update_finished(FirmwareUpdateResult) override {}
};

TEST_F(TransactionTest, exception_escaping_while_the_lock_is_held_poisons_the_connection) {
    start();
    Device d = device();
    const Interface port = d.get_interfaces().value().at(0);
    HookCallbacks cb;
    cb.on_progress = [] { throw std::runtime_error("callback failed"); };
    const std::vector<uint8_t> image(10, 0xAB);
    EXPECT_THROW((void)d.update_firmware_from_blob(image, cb), std::runtime_error);
    const size_t sent = sim().requests().size();
    for (const OpRow& row : operation_table()) {
        SCOPED_TRACE(row.name);
        const auto err = row.call(d, port);
        ASSERT_TRUE(err.has_value());
        EXPECT_EQ(err->kind(), Error::Kind::FailedToAquireLock);
    }
    cb.on_progress = [] {};
    EXPECT_ERROR(d.update_firmware_from_blob(image, cb), FailedToAquireLock, "");
    EXPECT_EQ(sim().requests().size(), sent);
}

TEST_F(TransactionTest, returned_errors_do_not_poison_the_connection) {
    start();
    Device d = device();
    fault(3, once({.error_status = 5}));
    EXPECT_FALSE(d.get_name());
    EXPECT_TRUE(d.get_name());
}

TEST_F(TransactionTest, call_from_a_firmware_callback_on_the_updating_thread_fails_at_once_and_sends_nothing) {
    start();
    Device d = device();
    const Interface port = d.get_interfaces().value().at(0);
    std::vector<std::optional<Error>> seen;
    HookCallbacks cb;
    cb.on_started = [&] {
        seen.push_back(error_of(d.get_name()));
        seen.push_back(error_of(port.get_status()));
        seen.push_back(error_of(d.update_firmware_from_blob(std::vector<uint8_t>(4), cb)));
        seen.push_back(error_of(d.close()));  // the update still needs the socket
    };
    sim().clear_requests();
    ASSERT_TRUE(d.update_firmware_from_blob(std::vector<uint8_t>(10, 1), cb));
    ASSERT_EQ(seen.size(), 4u);
    for (const auto& e : seen) {
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->kind(), Error::Kind::FailedToAquireLock);
    }
    EXPECT_EQ(commands(), (std::vector<uint16_t>{49, 51, 53}));
    EXPECT_TRUE(d.get_name());  // the lock was left clean
}

TEST_F(TransactionTest, other_thread_waits_for_a_running_firmware_update) {
    start();
    Device d = device();
    std::thread other;
    std::atomic<bool> other_done{false};
    Result<std::string> other_result = fail(Error::Kind::ConnectionError);
    HookCallbacks cb;
    cb.on_started = [&] {
        other = std::thread([&] {
            other_result = d.get_name();
            other_done = true;
        });
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(other_done.load());
    };
    sim().clear_requests();
    ASSERT_TRUE(d.update_firmware_from_blob(std::vector<uint8_t>(10, 1), cb));
    other.join();
    EXPECT_EQ(other_result.value(), "TQ Ethernet Interface");
    EXPECT_EQ(commands(), (std::vector<uint16_t>{49, 51, 53, 3}));
}

struct CountingHook {
    std::atomic<int> released{0};
    std::atomic<int> reacquired{0};
    LockWaitHook hook{[](void* c) { static_cast<CountingHook*>(c)->released++; },
                      [](void* c) { static_cast<CountingHook*>(c)->reacquired++; }, this};
};

// A thread whose interrupt check fires gives up waiting, both for an answer
// and for a connection another thread holds; the update there goes on.
TEST_F(TransactionTest, interrupt_check_ends_a_wait_for_an_answer_or_for_the_connection) {
    start();
    Device d = device();
    std::atomic<bool> stop{false};
    const InterruptCheck check = flag_check(stop);
    auto interrupted_call = [&] {
        const InterruptScope scope(&check);
        std::thread trip([&] {
            std::this_thread::sleep_for(50ms);
            stop = true;
        });
        const auto began = std::chrono::steady_clock::now();
        auto r = d.get_name();
        trip.join();
        stop = false;
        EXPECT_LT(std::chrono::steady_clock::now() - began, kTestTimeout * 0.8);
        return r;
    };
    fault(3, once({.delay = 4 * kTestTimeout}));
    EXPECT_ERROR(interrupted_call(), TcpStreamReadError, "Failed to read packet header");
    Result<std::string> waiting = std::string();
    HookCallbacks cb;
    cb.on_started = [&] { std::thread([&] { waiting = interrupted_call(); }).join(); };
    EXPECT_TRUE(d.update_firmware_from_blob(std::vector<uint8_t>(10, 1), cb));
    EXPECT_ERROR(waiting, ApiError, "Interrupted while waiting for the device's connection; nothing was sent");
    EXPECT_EQ(d.get_name().value(), "TQ Ethernet Interface");
}

TEST_F(TransactionTest, lock_wait_hook_runs_only_around_a_wait_for_a_busy_connection) {
    start();
    Device d = device();
    CountingHook counts;
    std::atomic<bool> waiting_started{false};
    std::thread waiter;
    HookCallbacks cb;
    cb.on_started = [&] {
        waiter = std::thread([&] {
            set_lock_wait_hook(&counts.hook);
            waiting_started = true;
            EXPECT_TRUE(d.get_name());
            EXPECT_TRUE(d.get_name());  // the lock is free now: no wait, no hook
            set_lock_wait_hook(nullptr);
        });
        while (!waiting_started) std::this_thread::yield();
        std::this_thread::sleep_for(50ms);
    };
    ASSERT_TRUE(d.update_firmware_from_blob(std::vector<uint8_t>(4, 1), cb));
    waiter.join();
    EXPECT_EQ(counts.released.load(), 1);
    EXPECT_EQ(counts.reacquired.load(), 1);
    EXPECT_EQ(lock_wait_hook(), nullptr);
}

}  // namespace
}  // namespace tq::test
