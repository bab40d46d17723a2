// Connecting to a device and the three-step handshake.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "client/client.hpp"
#include "client/connection.hpp"
#include "client/tcp_stream.hpp"
#include "sim_fixture.hpp"

namespace tq::test {
namespace {

class HandshakeTest : public SimTest {};

// A listener of our own on a loopback address, to count connection attempts
// or to make them hang.
class Listener {
public:
    Listener(const char* address, uint16_t port, int backlog) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd_, backlog) != 0) {
            throw std::runtime_error("listener");
        }
    }
    ~Listener() {
        for (int c : fillers_) ::close(c);
        ::close(fd_);
    }
    bool has_pending_connection() const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    // Fills the accept queue so that further connection attempts get no answer.
    void fill(const char* address, uint16_t port) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        for (int i = 0; i < 4; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            (void)::connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            fillers_.push_back(c);
        }
        std::this_thread::sleep_for(50ms);
    }

private:
    int fd_ = -1;
    std::vector<int> fillers_;
};

ServiceAddress v4(const char* text) {
    ServiceAddress a;
    ServiceAddress::parse(text, a);
    return a;
}

TEST_F(HandshakeTest, learns_version_ean_and_serial_in_three_exchanges) {
    sim::DeviceModel m;
    m.ean = 0x4062138020033;
    m.serial_number = 77;
    m.protocol_version = 1;
    start_one(m);
    const Device d = device();
    EXPECT_EQ(d.protocol_version(), 1u);
    EXPECT_EQ(d.get_ean(), 0x4062138020033u);
    EXPECT_EQ(d.get_serial_number(), 77u);
    const auto sent = sim().requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes, bytes({0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sent[1].bytes, bytes({0x27, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sent[2].bytes, bytes({0x1D, 0x00, 0x00, 0x00}));
    EXPECT_EQ(d.address().to_string(), "127.0.0.1:" + std::to_string(sim().port(0)));
}

struct VersionCase {
    uint32_t version;
    Error::Kind kind;
};

class IncompatibleVersionTest : public SimTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(IncompatibleVersionTest, fails_after_the_version_query_without_sending_more) {
    sim::DeviceModel m;
    m.protocol_version = GetParam().version;
    start_one(m);
    const auto r = connect();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), GetParam().kind);
    EXPECT_EQ(commands(), std::vector<uint16_t>{1});
}

INSTANTIATE_TEST_SUITE_P(Versions, IncompatibleVersionTest,
                         ::testing::Values(VersionCase{0, Error::Kind::ApiNotAvailableInProtocolVersion},
                                           VersionCase{3, Error::Kind::ClientSoftwareTooOldForDevice},
                                           VersionCase{0xFFFF, Error::Kind::ClientSoftwareTooOldForDevice}));

TEST_F(HandshakeTest, service_without_addresses_is_a_network_error) {
    start();
    ResolvedService s;
    s.port = sim().port(0);
    const auto r = Device::connect(s, kTestTimeout);
    EXPECT_ERROR(r, NetworkError, "");
    EXPECT_EQ(r.error().os_error(), 0) << "no attempt, so no reason";
    EXPECT_EQ(sim().connections_accepted(0), 0u);
}

TEST_F(HandshakeTest, refused_connection_keeps_the_reason_out_of_the_debug_text) {
    start();
    const uint16_t port = sim().port(0);
    sim().stop();
    const auto r = Device::connect(loopback_service(port), kTestTimeout);
    EXPECT_ERROR(r, NetworkError, "");
    EXPECT_EQ(r.error().os_error(), ECONNREFUSED);
    EXPECT_EQ(r.error().debug_text(), "NetworkError");
}

TEST_F(HandshakeTest, refused_address_is_skipped_for_the_next) {
    start();
    ResolvedService s = loopback_service(sim().port(0));
    s.addresses.insert(s.addresses.begin(), v4("127.0.0.2"));  // nothing listens there
    const auto d = Device::connect(s, kTestTimeout);
    ASSERT_TRUE(d) << d.error().debug_text();
    EXPECT_EQ(d->address().to_string(), "127.0.0.1:" + std::to_string(sim().port(0)));
}

TEST_F(HandshakeTest, only_the_first_reachable_address_is_connected) {
    start();
    const Listener other("127.0.0.2", sim().port(0), 4);
    ResolvedService s = loopback_service(sim().port(0));
    s.addresses.push_back(v4("127.0.0.2"));
    ASSERT_TRUE(Device::connect(s, kTestTimeout));
    EXPECT_FALSE(other.has_pending_connection());
    EXPECT_EQ(sim().connections_accepted(0), 1u);
}

TEST_F(HandshakeTest, failed_handshake_is_final_and_the_other_addresses_are_not_tried) {
    start();
    const Listener silent("127.0.0.2", sim().port(0), 4);  // accepts, never answers
    ResolvedService s = loopback_service(sim().port(0));
    s.addresses.insert(s.addresses.begin(), v4("127.0.0.2"));
    EXPECT_ERROR(Device::connect(s, kTestTimeout), TcpStreamReadError, "Failed to read packet header");
    EXPECT_EQ(sim().connections_accepted(0), 0u);
}

TEST_F(HandshakeTest, unanswered_connect_is_bounded_by_the_connection_timeout) {
    start();
    Listener full("127.0.0.3", sim().port(0), 0);
    full.fill("127.0.0.3", sim().port(0));
    ResolvedService s = loopback_service(sim().port(0));
    s.addresses.insert(s.addresses.begin(), v4("127.0.0.3"));
    const auto began = std::chrono::steady_clock::now();
    const auto d = Device::connect(s, kTestTimeout);
    ASSERT_TRUE(d) << d.error().debug_text();
    // Far below the operating system's own connect timeout of minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - began, 20 * kTestTimeout);
}

TEST_F(HandshakeTest, failure_in_the_last_step_leaves_no_device_and_no_socket) {
    start();
    fault(29, {.error_status = 3});
    EXPECT_ERROR(connect(), ApiError,
                 "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_FAILED\"");
    EXPECT_TRUE(all_connections_closed());
    EXPECT_EQ(commands(), (std::vector<uint16_t>{1, 39, 29}));
}

TEST_F(HandshakeTest, error_response_to_the_version_query_is_a_protocol_error) {
    start();
    fault(1, {.error_status = 0});
    EXPECT_ERROR(connect(), ApiError, "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_PROTOCOL_ERROR\"");
}

TEST_F(HandshakeTest, socket_timeouts_are_the_connection_timeout) {
    start();
    const Device d = device(0, kDefaultConnectionTimeout);
    const TcpStream& s = d.connection()->stream;
    EXPECT_TRUE(timeout_near(s.read_timeout().value(), 1337ms));
    EXPECT_TRUE(timeout_near(s.write_timeout().value(), 1337ms));
}

TEST_F(HandshakeTest, connect_by_address_runs_the_handshake_with_its_timeout_as_the_socket_timeouts) {
    start();
    const auto d = Client{}.connect("127.0.0.1", sim().port(0), 300ms);
    ASSERT_TRUE(d) << d.error().message();
    EXPECT_EQ(commands(), (std::vector<uint16_t>{1, 39, 29}));
    EXPECT_TRUE(timeout_near(d->connection()->stream.read_timeout().value(), 300ms));
}

TEST_F(HandshakeTest, connect_by_address_says_what_failed_and_where_before_the_handshake) {
    start();
    const uint16_t port = sim().port(0);
    const std::string p = std::to_string(port);
    Listener full("127.0.0.3", port, 0);
    full.fill("127.0.0.3", port);
    auto failure = [&](std::string_view host, std::chrono::nanoseconds timeout = kTestTimeout) {
        const auto r = Client{}.connect(host, port, timeout);
        return r ? std::string("connected") : r.error().message();
    };
    EXPECT_EQ(failure("127.0.0.2"), "Cannot connect to 127.0.0.2:" + p + ": Connection refused (os error 111)");
    EXPECT_EQ(failure("127.0.0.3"),
              "Cannot connect to 127.0.0.3:" + p + ": Connection timed out after 0.25 s (os error 110)");
    EXPECT_EQ(failure("fe80::1%tqnosuch0"),
              "Cannot connect to [fe80::1%tqnosuch0]:" + p + ": no network interface named 'tqnosuch0'");
    EXPECT_EQ(failure("127.0.0.1", 0ms),
              "Cannot connect to 127.0.0.1:" + p + ": the connection timeout must be greater than zero");
    EXPECT_EQ(sim().connections_accepted(0), 0u);
}

TEST_F(HandshakeTest, timeout_of_zero_or_less_is_refused_before_connecting) {
    start();
    for (const auto timeout : {0ns, -1ns, std::chrono::nanoseconds::min()}) {
        SCOPED_TRACE(timeout.count());
        const char* text = "The connection timeout must be greater than zero";
        EXPECT_ERROR(connect(0, timeout), ApiError, text);
        EXPECT_ERROR(Device::from_stream(SocketAddress{}, TcpStream{}, timeout), ApiError, text);
    }
    EXPECT_EQ(sim().connections_accepted(0), 0u);
}

TEST(HandshakeWithoutSocket, timeout_failures_are_reported_on_stdout_and_the_handshake_goes_on) {
    testing::internal::CaptureStdout();
    const auto r = Device::from_stream(SocketAddress{}, TcpStream{}, kTestTimeout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_ERROR(r, TcpStreamWriteError,
                 "Failed to send tq_sdk_client::device::Device::update_protocol_version::{{closure}} request");
    const auto nl = out.find('\n');
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(out.rfind("Failed to set TCP read timeout ", 0), 0u) << out;
    EXPECT_EQ(out.compare(nl + 1, 32, "Failed to set TCP write timeout "), 0) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
}

}  // namespace
}  // namespace tq::test
