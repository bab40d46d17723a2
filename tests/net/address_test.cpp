// Addresses as discovery delivers them and as sockets take them.
#include "net/address.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tq {
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
                                           AddressCase{"1.2.3", false, ""}, AddressCase{"fe80::1%", false, ""},
                                           AddressCase{"fe80::1%99999999999", false, ""},
                                           AddressCase{"host.local", false, ""}));

TEST(AddressParse, a_scope_given_by_interface_name_becomes_its_index) {
    unsigned loopback = 0;
    for (const auto& a : os::interface_addresses())
        if (a.loopback && loopback == 0) loopback = a.index;
    ASSERT_NE(loopback, 0u);
    const std::string name = os::interface_name(loopback);
    ASSERT_FALSE(name.empty());
    ServiceAddress a;
    ASSERT_TRUE(ServiceAddress::parse("fe80::1%" + name, a));
    EXPECT_EQ(a.interface_index, loopback);
    EXPECT_FALSE(ServiceAddress::parse("fe80::1%no-such-interface", a));
}

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

}  // namespace
}  // namespace tq
