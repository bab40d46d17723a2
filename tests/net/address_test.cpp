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

}  // namespace
}  // namespace tq
