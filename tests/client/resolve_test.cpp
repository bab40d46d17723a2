// Host resolution, and a device reached over IPv6 loopback.
#include <stdexcept>

#include "client/resolve.hpp"
#include "sim_fixture.hpp"

namespace tq::test {
namespace {

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
