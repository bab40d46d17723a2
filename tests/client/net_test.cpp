// Addresses as discovery delivers them and as the client connects to them.
#include <stdexcept>

#include "client/resolve.hpp"
#include "sim_fixture.hpp"

namespace tq::test {
namespace {

struct AddressCase {
    std::string text;
    bool valid;
    std::string socket_text;  // with port 80
};

class AddressParseTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressParseTest, numeric_text_round_trips_through_the_socket_address) {
    ServiceAddress a;
    ASSERT_EQ(ServiceAddress::parse(GetParam().text, a), GetParam().valid);
    if (GetParam().valid) {
        EXPECT_EQ(SocketAddress(a, 80).to_string(), GetParam().socket_text);
    }
}

INSTANTIATE_TEST_SUITE_P(Addresses, AddressParseTest,
                         ::testing::Values(AddressCase{"192.168.10.7", true, "192.168.10.7:80"},
                                           AddressCase{"::1", true, "[::1]:80"},
                                           AddressCase{"fe80::1%3", true, "[fe80::1%3]:80"},
                                           AddressCase{"fe80::1%lo", true, "[fe80::1%1]:80"},
                                           AddressCase{"1.2.3", false, ""}, AddressCase{"fe80::1%", false, ""},
                                           AddressCase{"fe80::1%99999999999", false, ""},
                                           AddressCase{"host.local", false, ""}));

TEST(SocketAddressTest, ipv6_carries_the_interface_index_as_scope_and_no_flow_info) {
    in6_addr raw{};
    raw.s6_addr[0] = 0xfe;
    raw.s6_addr[1] = 0x80;
    raw.s6_addr[15] = 1;
    const SocketAddress sa(ServiceAddress::v6(raw, 7), 4242);
    ASSERT_EQ(sa.size(), sizeof(sockaddr_in6));
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(sa.get());
    EXPECT_EQ(v6->sin6_scope_id, 7u);
    EXPECT_EQ(v6->sin6_flowinfo, 0u);
    EXPECT_EQ(sa.port(), 4242);
}

TEST(ResolveHost, says_whether_the_interface_or_the_name_was_not_found) {
    const auto scope = resolve_host("fe80::1%tqnosuch0");
    ASSERT_FALSE(scope);
    EXPECT_EQ(scope.error().kind, HostLookupFailure::Kind::UnknownInterface);
    EXPECT_EQ(scope.error().name, "tqnosuch0");

    // .invalid never resolves (RFC 6761).
    const auto name = resolve_host("nosuch.invalid");
    ASSERT_FALSE(name);
    EXPECT_EQ(name.error().kind, HostLookupFailure::Kind::NotFound);
    EXPECT_EQ(name.error().name, "nosuch.invalid");
    EXPECT_FALSE(name.error().reason.empty());
}

TEST(Ipv6Loopback, device_is_reached_over_ipv6) {
    sim::SimulatorOptions o;
    o.bind_address = "::1";
    sim::Simulator s({sim::DeviceModel{}}, o);
    try {
        s.start();
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ResolvedService svc;
    ServiceAddress a;
    ServiceAddress::parse("::1", a);
    svc.addresses = {a};
    svc.port = s.port(0);
    const auto d = Device::connect(svc, kTestTimeout);
    ASSERT_TRUE(d) << d.error().debug_text();
    EXPECT_EQ(d->address().to_string(), "[::1]:" + std::to_string(s.port(0)));
    EXPECT_EQ(s.ready_line(), "READY [::1]:" + std::to_string(s.port(0)));
}

}  // namespace
}  // namespace tq::test
