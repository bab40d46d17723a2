// What a short scan costs beyond its wait: 100 ms scans against 1, 10 and 50
// simulated devices advertised on the other host of a private veth pair
// (scripts/netns --pair; the binary re-runs itself through it, so it needs
// root). The reported time is the time beyond the wait; target: at most
// 30 ms + 2 ms per device. The counters show how many devices each scan
// returned, and the same scans without the question at browse start (the
// library's own first query only) serve as the baseline.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include "client/scan.hpp"
#include "discovery_support.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 100ms;

// One simulator process per device count, kept for the whole run: its names
// are established once, as with devices that have been on the network a while.
tq::testing::Sim* devices(size_t count) {
    static std::map<size_t, std::unique_ptr<tq::testing::Sim>> sims;
    auto& sim = sims[count];
    if (!sim) {
        sims.clear();  // one population on the network at a time
        tq::testing::SimOptions o;
        o.devices = count;
        auto& fresh = sims[count];
        fresh = std::make_unique<tq::testing::Sim>(o);
        if (!fresh->wait_ready()) return nullptr;
        std::this_thread::sleep_for(1s);  // past the announcements
        return fresh.get();
    }
    return sim.get();
}

// `quiet`: each scan comes 600 ms after the previous one, past the half
// second in which responders will not repeat a multicast answer, so every
// scan meets idle devices; otherwise the scans follow each other at once.
void scan(benchmark::State& state, bool ask_at_browse_start, bool quiet = false) {
    const auto count = static_cast<size_t>(state.range(0));
    if (devices(count) == nullptr) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    tq::scan::Collaborators with = tq::scan::Collaborators::standard();
    with.create_daemon = [ask_at_browse_start] {
        tq::dnssd::DaemonOptions options;
        options.ask_at_browse_start = ask_at_browse_start;
        return tq::dnssd::create_daemon(options);
    };
    double found = 0;
    double worst_ms = 0;
    for (auto _ : state) {
        if (quiet) std::this_thread::sleep_for(600ms);  // manual time: not counted
        const auto start = Clock::now();
        const auto result = tq::scan::run(with, kWait, tq::kDefaultConnectionTimeout);
        const std::chrono::duration<double> beyond = Clock::now() - start - kWait;
        state.SetIterationTime(beyond.count());
        worst_ms = std::max(worst_ms, beyond.count() * 1e3);
        if (!result) {
            state.SkipWithError(result.error().debug_text().c_str());
            return;
        }
        found += static_cast<double>(result->size());
    }
    state.counters["devices"] = static_cast<double>(count);
    state.counters["found_per_scan"] = found / static_cast<double>(state.iterations());
    state.counters["found_ratio"] = found / static_cast<double>(state.iterations()) / static_cast<double>(count);
    state.counters["worst_beyond_ms"] = worst_ms;
    state.counters["target_ms"] = 30.0 + 2.0 * static_cast<double>(count);
}

void BM_Scan100ms(benchmark::State& state) {
    scan(state, true);
}
void BM_Scan100msLibraryQueryOnly(benchmark::State& state) {
    scan(state, false);
}
void BM_Scan100msIdleDevices(benchmark::State& state) {
    scan(state, true, true);
}
void BM_Scan100msIdleDevicesLibraryQueryOnly(benchmark::State& state) {
    scan(state, false, true);
}

BENCHMARK(BM_Scan100ms)->Arg(1)->Arg(10)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_Scan100msLibraryQueryOnly)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

BENCHMARK(BM_Scan100msIdleDevices)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_Scan100msIdleDevicesLibraryQueryOnly)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = tq::testing::enter_private_network(argc, argv)) return *status;
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
