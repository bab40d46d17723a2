// Many threads on one device and on its interfaces: every answer belongs to
// the request that asked for it.
#include <atomic>
#include <thread>

#include "sim_fixture.hpp"

namespace tq::test {
namespace {

class ConcurrencyTest : public SimTest {};

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 2000;

TEST_F(ConcurrencyTest, eight_threads_on_one_device_each_get_their_own_answers) {
    sim::DeviceModel m;
    m.interfaces.resize(4);
    for (size_t i = 0; i < m.interfaces.size(); ++i) {
        m.interfaces[i].nickname = "port-" + std::to_string(i);
        m.interfaces[i].dcq8 = {static_cast<uint8_t>(10 + i), 0, 0, 0};
        m.interfaces[i].cable_distance = static_cast<uint8_t>(40 + i);
    }
    m.nickname = "shared";
    start_one(m);
    const Device d = device(0, kDefaultConnectionTimeout);
    const auto ports = d.get_interfaces().value();

    std::atomic<int> wrong{0};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequestsPerThread; ++i) {
                bool ok = false;
                // Threads 0-3 mix device requests, 4-7 each drive one interface.
                if (t < 4) {
                    switch ((t + i) % 4) {
                        case 0:
                            ok = d.get_name() == Result<std::string>("TQ Ethernet Interface");
                            break;
                        case 1:
                            ok = d.get_firmware_version() == Result<std::string>("2.4.1");
                            break;
                        case 2:
                            ok = d.get_nickname() == Result<std::string>("shared");
                            break;
                        default:
                            ok = d.get_firmware_ean() == Result<uint64_t>(0x4062138020026);
                            break;
                    }
                } else {
                    const Interface& p = ports[static_cast<size_t>(t - 4)];
                    const size_t k = p.index();
                    switch (i % 3) {
                        case 0:
                            ok = p.get_nickname() == Result<std::string>("port-" + std::to_string(k));
                            break;
                        case 1:
                            ok = p.read_dcq().value_or(DcqReading{}).sqi == 10 + k;
                            break;
                        default:
                            ok = p.run_cable_test().value_or(CableTestResult{}).distance_to_fault == 40 + k;
                            break;
                    }
                }
                if (!ok) ++wrong;
                ++done;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(done.load(), kThreads * kRequestsPerThread);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(sim().connections_accepted(0), 1u);
}

TEST_F(ConcurrencyTest, devices_are_independent_while_one_is_busy) {
    start({sim::DeviceModel{}, sim::DeviceModel{}});
    const Device slow = device(0);
    const Device fast = device(1);
    fault(33, once({.delay = 200ms}), 0);
    std::atomic<bool> slow_done{false};
    std::thread t([&] {
        EXPECT_TRUE(slow.get_firmware_version());
        slow_done = true;
    });
    while (sim().requests(0).size() < 4) std::this_thread::yield();  // the slow request is in
    // The other device answers while the first one's transaction is still waiting.
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(fast.get_name());
    EXPECT_FALSE(slow_done.load());
    t.join();
}

}  // namespace
}  // namespace tq::test
