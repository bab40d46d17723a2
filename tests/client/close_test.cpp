// Device::close: the connection ends now, for the device and its interfaces,
// but never under an exchange in flight.
#include <thread>

#include "op_table.hpp"
#include "sim_fixture.hpp"

namespace tq::test {
namespace {

class CloseTest : public SimTest {};

TEST_F(CloseTest, every_later_operation_fails_at_once_without_sending_and_the_socket_is_gone) {
    sim::DeviceModel m;
    m.serial_number = 31;
    start_one(m);
    const Device d = device();
    const Device copy = d;
    const Interface port = d.get_interfaces().value().at(0);
    const size_t sent = sim().requests().size();

    ASSERT_TRUE(copy.close());
    EXPECT_TRUE(all_connections_closed());
    EXPECT_TRUE(d.close());  // again: nothing to do
    for (const OpRow& row : operation_table()) {
        SCOPED_TRACE(row.name);
        const auto err = row.call(d, port);
        ASSERT_TRUE(err.has_value());
        EXPECT_EQ(err->kind(), Error::Kind::ConnectionError);
    }
    EXPECT_EQ(sim().requests().size(), sent);
    EXPECT_EQ(d.get_serial_number(), 31u);
}

TEST_F(CloseTest, waits_for_the_exchange_in_flight_on_another_thread) {
    start();
    const Device d = device(0, kDefaultConnectionTimeout);
    fault(3, once({.delay = 200ms}));
    const size_t before = sim().requests().size();
    Result<std::string> name = fail(Error::Kind::ConnectionError);
    std::thread caller([&] { name = d.get_name(); });
    // The request is out and its answer 200 ms away: a close that did not
    // wait would take the socket from under the exchange.
    while (sim().requests().size() == before) std::this_thread::yield();
    ASSERT_TRUE(d.close());
    caller.join();
    EXPECT_EQ(name.value(), "TQ Ethernet Interface");
    EXPECT_TRUE(all_connections_closed());
}

}  // namespace
}  // namespace tq::test
