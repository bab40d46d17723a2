// Cost of one request encode plus one response decode through the command
// table, as the client pays it per exchange: version gate, fields written
// into the connection buffer, reply read where it lies, converted into the
// client's type. Every pair also reports the heap allocations it made (none
// but a result that owns memory may make one), and the run ends with each
// pair's time as a ratio of a hand-written get_name pair measured in the same
// run. CPU time is compared, since wall time on a shared build machine mostly
// measures the other processes.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "protocol/commands.hpp"
#include "protocol/packet.hpp"
#include "protocol/reply.hpp"
#include "protocol/wire_values.hpp"

namespace {
std::atomic<size_t> g_allocations{0};
}  // namespace

// Counting replacements for the global allocation functions. GCC cannot see
// that new and delete below are a matching malloc/free pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

using namespace tq;
using namespace tq::wire;
using proto::Command;

using Bytes = std::vector<uint8_t>;
using Buffer = std::span<uint8_t>;
using ConstBuffer = std::span<const uint8_t>;

struct Buffers {
    std::array<uint8_t, proto::kBufferSize> request{};
    std::array<uint8_t, proto::kBufferSize> response{};
    explicit Buffers(const Bytes& reply) { std::copy(reply.begin(), reply.end(), response.begin()); }
};

template <class Pair>
void run_pair(benchmark::State& state, const Bytes& reply, Pair pair) {
    Buffers b{reply};
    const size_t before = g_allocations.load();
    for (auto _ : state) {
        if (!pair(Buffer{b.request}, ConstBuffer{b.response})) state.SkipWithError("pair failed");
        benchmark::ClobberMemory();
    }
    state.counters["allocs/pair"] =
        benchmark::Counter(static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
}

// What the exchange costs without the packet object and the table: write the
// header, check the reply's code and copy its text out.
void BM_baseline_get_name_by_hand(benchmark::State& state) {
    run_pair(state, {0x04, 0x00, 0x05, 0x00, 0x03, 0x00, 'a', 'b', 'c'}, [](Buffer req, ConstBuffer resp) {
        const uint8_t header[4] = {0x03, 0x00, 0x00, 0x00};
        std::memcpy(req.data(), header, 4);
        benchmark::DoNotOptimize(req.data());
        if ((resp[0] | resp[1] << 8) != 4) return false;
        const size_t n = resp[4] | resp[5] << 8;
        if (n > 127) return false;
        std::string name(reinterpret_cast<const char*>(resp.data() + 6), n);
        benchmark::DoNotOptimize(name);
        return true;
    });
}

// What the client does to put a request of C into the buffer: the version
// gate, then the fields; 0 when refused.
template <Command C, class... Args>
size_t encode(Buffer req, const Args&... args) {
    if (proto::version_gate(2, C)) return 0;
    proto::PacketWriter packet{req};
    return proto::encode_request<C>(packet, args...) ? 0 : packet.packet_len();
}

void BM_get_name(benchmark::State& state) {
    run_pair(state, {0x04, 0x00, 0x05, 0x00, 0x03, 0x00, 'a', 'b', 'c'}, [](Buffer req, ConstBuffer resp) {
        auto n = encode<Command::DeviceGetName>(req);
        auto name = proto::decode_reply<Command::DeviceGetName>(resp);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(name);
        return n && name;
    });
}

void BM_get_status(benchmark::State& state) {
    run_pair(state, {0x14, 0x00, 0x05, 0x00, 0x00, 0x00, 0x82, 0x02, 0x01}, [](Buffer req, ConstBuffer resp) {
        auto n = encode<Command::GetInterfaceStatus>(req, uint16_t{0});
        auto status = proto::decode_reply<Command::GetInterfaceStatus>(resp).and_then(
            [](const auto& fields) { return std::apply(interface_status_from_wire, fields); });
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(status);
        return n && status;
    });
}

void BM_set_eth_config(benchmark::State& state) {
    static const EthInterfaceConfig config{
        {EthRole::LeaderPreferred},
        {EthLinkSpeed::Speed100MbitFullDuplex, EthLinkSpeed::Speed1000MbitFullDuplex},
        EthAnegMode::IEEEAnegEnabled};
    run_pair(state, {0x1A, 0x00, 0x02, 0x00, 0x00, 0x00}, [](Buffer req, ConstBuffer resp) {
        auto n = encode<Command::SetEthInterfaceMode>(req, uint16_t{0}, mode_bits_from_config(config));
        auto status = proto::decode_reply<Command::SetEthInterfaceMode>(resp);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(status);
        return n && status;
    });
}

BENCHMARK(BM_baseline_get_name_by_hand);
BENCHMARK(BM_get_name);
BENCHMARK(BM_get_status);
BENCHMARK(BM_set_eth_config);

// Console output plus, at the end, each pair's time relative to the baseline.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) ns_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto base = ns_.find("BM_baseline_get_name_by_hand");
        if (base == ns_.end() || base->second <= 0) return;
        std::printf("\nCPU time per pair, ratio to BM_baseline_get_name_by_hand (%.1f ns):\n", base->second);
        for (const auto& [name, ns] : ns_)
            if (name != base->first) std::printf("  %-22s %7.1f ns  x%.2f\n", name.c_str(), ns, ns / base->second);
    }

private:
    std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
