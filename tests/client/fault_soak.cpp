// A bounded fault soak: four threads call two simulated devices (two threads
// share each device's connection) while the simulator misbehaves on a random
// share of all requests: late answers, closed connections, cut answers,
// oversized answers, garbage, stray packets under another code, error
// responses. Late answers come up to 3.5 timeouts after their request, and
// both threads of a device keep asking the same thing of either port, so a
// late answer and the next call often share a response code.
//
// What must hold throughout:
//   - every call that succeeds returns exactly what the device returned for
//     the same call before any fault (the ports' values differ, so an answer
//     meant for another call does not pass);
//   - no call holds the connection longer than its own exchange (2 x
//     timeout), after the one reconnect a failure before it left to do, plus
//     slack;
//   - the devices are never connected again by hand: each Device reconnects
//     by itself after a failure;
//   - file descriptors and resident memory stay flat.
//
// PLENKO_SOAK_SECONDS sets the duration (default 60), PLENKO_SOAK_SEED the
// simulator's seed (default 1). Exits non-zero when an invariant fails.
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "client/connection.hpp"
#include "client/device.hpp"
#include "client/lock_wait.hpp"
#include "sim/simulator.hpp"

namespace {

using namespace tq;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kTimeout{300};
// From just past one timeout (the call has given up) to 3.5 timeouts, far
// past the point where an answer kept on the same stream could still be
// told from the next one.
constexpr std::chrono::milliseconds kLateMin{330}, kLateMax{1050};
constexpr double kFaultRate = 0.1;
constexpr auto kCallBound = 2 * kTimeout + 1s;
constexpr size_t kDevices = 2, kThreadsPerDevice = 2;
constexpr int kFdSlack = 8;
constexpr long kRssSlackKib = 16 * 1024;

using Value = std::variant<std::string, bool, uint64_t, InterfaceStatus, DcqReading, EthInterfaceConfig>;

template <class T>
Result<Value> as_value(Result<T> r) {
    if (!r) return tl::unexpected(std::move(r.error()));
    return Value(std::move(*r));
}

struct Connected {
    Device device;
    std::vector<Interface> ports;
};

struct Op {
    const char* name;
    uint32_t port;  // for interface operations
    std::function<Result<Value>(const Connected&)> call;
    size_t other_port = 0;  // index of the same operation on the other port; its own for device operations
};

std::vector<Op> operations() {
    std::vector<Op> ops{
        {"get_name", 0, [](const Connected& c) { return as_value(c.device.get_name()); }},
        {"get_firmware_version", 0, [](const Connected& c) { return as_value(c.device.get_firmware_version()); }},
        {"get_pcb_revision", 0, [](const Connected& c) { return as_value(c.device.get_pcb_revision()); }},
        {"get_bootloader_version", 0, [](const Connected& c) { return as_value(c.device.get_bootloader_version()); }},
        {"get_firmware_ean", 0, [](const Connected& c) { return as_value(c.device.get_firmware_ean()); }},
    };
    for (uint32_t p = 0; p < 2; ++p) {
        ops.push_back({"get_status", p, [p](const Connected& c) { return as_value(c.ports[p].get_status()); }});
        ops.push_back({"get_nickname", p, [p](const Connected& c) { return as_value(c.ports[p].get_nickname()); }});
        ops.push_back({"read_dcq", p, [p](const Connected& c) { return as_value(c.ports[p].read_dcq()); }});
        ops.push_back({"get_eth_config", p, [p](const Connected& c) { return as_value(c.ports[p].get_eth_config()); }});
        ops.push_back(
            {"get_loopback_state", p, [p](const Connected& c) { return as_value(c.ports[p].get_loopback_state()); }});
    }
    for (size_t i = 0; i < ops.size(); ++i) {
        ops[i].other_port = i;
        for (size_t j = 0; j < ops.size(); ++j) {
            if (std::string_view(ops[j].name) == ops[i].name && ops[j].port != ops[i].port) ops[i].other_port = j;
        }
    }
    return ops;
}

// Every value a device reports differs from the other port's and device's.
sim::DeviceModel model(size_t i) {
    sim::DeviceModel m;
    const std::string n = std::to_string(i);
    m.name = "Soak device " + n;
    m.firmware_version = "9." + n;
    m.pcb_revision = "R" + n;
    m.bootloader_version = "1." + n;
    m.serial_number = 5000 + i;
    m.firmware_ean = 0x4000000000000 + i;
    for (uint8_t p = 0; p < 2; ++p) {
        sim::PortModel& port = m.interfaces[p];
        port.type = p == 0 ? 0 : 2;
        port.eth_config = p == 0 ? sim::mode::k100Mbit | sim::mode::kFullDuplex | sim::mode::kLeader
                                 : sim::mode::k1000Mbit | sim::mode::kFullDuplex | sim::mode::kFollower;
        port.nickname = "port " + n + "." + std::to_string(p);
        port.dcq8 = {static_cast<uint8_t>(10 + p), static_cast<uint8_t>(20 + p), static_cast<uint8_t>(30 + i),
                     static_cast<uint8_t>(40 + i)};
        port.loopback = p;
    }
    return m;
}

ResolvedService service(uint16_t port) {
    ResolvedService s;
    ServiceAddress a;
    ServiceAddress::parse("127.0.0.1", a);
    s.addresses.push_back(a);
    s.port = port;
    return s;
}

std::shared_ptr<const Connected> connect(uint16_t port) {
    // The handshake meets the random faults too.
    for (int attempt = 0; attempt < 50; ++attempt) {
        auto d = Device::connect(service(port), kTimeout);
        if (!d) continue;
        auto ports = d->get_interfaces();
        if (!ports || ports->size() != 2) continue;
        return std::make_shared<const Connected>(Connected{std::move(*d), std::move(*ports)});
    }
    return nullptr;
}

// One device's connection for the whole soak, and what its calls must return.
struct Slot {
    std::shared_ptr<const Connected> connected;
    std::vector<Value> expected;  // by operation
    std::atomic<size_t> op{0};    // the operation both threads run for now
};

struct Counts {
    std::atomic<uint64_t> calls{0}, ok{0}, errors{0}, wrong{0}, slow{0};
    std::atomic<int64_t> longest_us{0};
    std::array<std::atomic<uint64_t>, Error::kKindCount> by_kind{};
};

// When the connection lock was taken, if the call had to wait for it.
struct LockTime {
    bool waited = false;
    Clock::time_point at;
};
thread_local LockTime lock_time;

void run_thread(Slot& slot, const std::vector<Op>& ops, Counts& counts, uint64_t seed, const std::atomic<bool>& stop) {
    const LockWaitHook hook{nullptr, [](void*) { lock_time = {true, Clock::now()}; }, nullptr};
    set_lock_wait_hook(&hook);
    std::mt19937_64 rng(seed);
    const Connected& c = *slot.connected;
    while (!stop.load()) {
        // Both threads of a device run one operation for a while, on either
        // port: a late answer and the next call then often share a response
        // code, which is where one answer could pass for another.
        if (std::uniform_int_distribution<int>(0, 7)(rng) == 0) {
            slot.op = std::uniform_int_distribution<size_t>(0, ops.size() - 1)(rng);
        }
        size_t i = slot.op.load();
        if (std::uniform_int_distribution<int>(0, 1)(rng) == 0) i = ops[i].other_port;
        lock_time = {};
        const auto began = Clock::now();
        const auto r = ops[i].call(c);
        const auto held = Clock::now() - (lock_time.waited ? lock_time.at : began);
        counts.calls++;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(held).count();
        for (int64_t seen = counts.longest_us.load();
             us > seen && !counts.longest_us.compare_exchange_weak(seen, us);) {
        }
        if (held > kCallBound) {
            counts.slow++;
            std::fprintf(stderr, "slow: %s (port %u) held the connection %lld ms\n", ops[i].name, ops[i].port,
                         static_cast<long long>(us / 1000));
        }
        if (r) {
            counts.ok++;
            if (*r != slot.expected[i]) {
                counts.wrong++;
                std::fprintf(stderr, "WRONG ANSWER: %s (port %u)\n", ops[i].name, ops[i].port);
            }
            continue;
        }
        counts.errors++;
        counts.by_kind[static_cast<size_t>(r.error().kind())]++;
        // Pace the loop a little: the soak is about faults, not throughput,
        // and shares the machine with other tests.
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 500)(rng)));
    }
    set_lock_wait_hook(nullptr);
}

int open_fds() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

long rss_kib() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

}  // namespace

int main() {
    const auto duration = std::chrono::seconds(env_number("PLENKO_SOAK_SECONDS", 60));
    const uint64_t seed = env_number("PLENKO_SOAK_SEED", 1);
    std::vector<sim::DeviceModel> models;
    for (size_t i = 0; i < kDevices; ++i) models.push_back(model(i));
    sim::SimulatorOptions options;
    options.keep_log = false;
    sim::Simulator sim(models, options);
    sim.start();

    const std::vector<Op> ops = operations();
    std::vector<std::unique_ptr<Slot>> slots;
    for (size_t d = 0; d < kDevices; ++d) {
        auto slot = std::make_unique<Slot>();
        slot->connected = connect(sim.port(d));
        if (!slot->connected) {
            std::fprintf(stderr, "fault soak: cannot connect to the simulator\n");
            return 1;
        }
        for (const Op& op : ops) {
            auto v = op.call(*slot->connected);
            if (!v) {
                std::fprintf(stderr, "fault soak: %s failed before any fault: %s\n", op.name,
                             v.error().debug_text().c_str());
                return 1;
            }
            slot->expected.push_back(std::move(*v));
        }
        sim.set_random_faults(d, {kFaultRate, seed + d, kLateMin, kLateMax});
        slots.push_back(std::move(slot));
    }

    Counts counts;
    // The first tenth warms up (thread stacks, allocator arenas); descriptors
    // and memory are compared between its end and the end of the run, each
    // taken with no call in flight.
    auto run_for = [&](Clock::duration d, uint64_t round) {
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (size_t t = 0; t < kDevices * kThreadsPerDevice; ++t) {
            threads.emplace_back(run_thread, std::ref(*slots[t / kThreadsPerDevice]), std::cref(ops), std::ref(counts),
                                 seed * 1000 + round * 100 + t, std::cref(stop));
        }
        std::this_thread::sleep_for(d);
        stop = true;
        for (auto& t : threads) t.join();
    };
    run_for(duration / 10, 0);
    const int fds_before = open_fds();
    const long rss_before = rss_kib();
    run_for(duration - duration / 10, 1);
    const int fds_after = open_fds();
    const long rss_after = rss_kib();

    uint64_t faults = 0, reconnects = 0;
    for (size_t d = 0; d < kDevices; ++d) {
        faults += sim.faults_fired(d);
        reconnects += slots[d]->connected->device.connection()->reopened.load();
    }
    const bool fds_flat = fds_after <= fds_before + kFdSlack;
    const bool rss_flat = rss_after <= rss_before + kRssSlackKib;
    std::printf(
        "fault soak: %llu s, %llu calls (%llu ok, %llu failed), %llu faults fired, %llu reconnects, "
        "%llu wrong answers, %llu calls over %lld ms (longest %lld ms), fds %d -> %d, rss %ld -> %ld KiB\n",
        static_cast<unsigned long long>(duration.count()), static_cast<unsigned long long>(counts.calls.load()),
        static_cast<unsigned long long>(counts.ok.load()), static_cast<unsigned long long>(counts.errors.load()),
        static_cast<unsigned long long>(faults), static_cast<unsigned long long>(reconnects),
        static_cast<unsigned long long>(counts.wrong.load()), static_cast<unsigned long long>(counts.slow.load()),
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(kCallBound).count()),
        static_cast<long long>(counts.longest_us.load() / 1000), fds_before, fds_after, rss_before, rss_after);
    const bool passed =
        counts.wrong == 0 && counts.slow == 0 && fds_flat && rss_flat && counts.ok > 0 && faults > 0 && reconnects > 0;
    std::string kinds;
    for (size_t k = 0; k < Error::kKindCount; ++k) {
        if (counts.by_kind[k] == 0) continue;
        kinds += (kinds.empty() ? "" : ", ") + std::string(Error::kind_name(static_cast<Error::Kind>(k))) + " " +
                 std::to_string(counts.by_kind[k].load());
    }
    std::printf("fault soak: failures by kind: %s\n", kinds.empty() ? "none" : kinds.c_str());
    std::printf("fault soak: %s\n", passed ? "passed" : "FAILED");
    return passed ? 0 : 1;
}
