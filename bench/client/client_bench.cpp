// Client overhead, as ratios against raw exchanges of the same bytes over the
// same loopback connection to the same simulated device, in the same run:
//   1. one get_name transaction vs a raw request/response ping-pong;
//   2. a 4 MiB firmware update in 4088-byte chunks vs raw stop-and-wait;
//   3. get_name with the trace writing a pcapng file vs with it off.
// get_name also counts the heap allocations the calling thread makes per
// call, and how many of them the returned name's own storage takes.
// The separate benchmarks give absolute figures (medians of repetitions run in
// random interleaved order); the paired ones give the ratios, from adjacent
// raw and client blocks, which load elsewhere on the machine hits alike.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "client/connection.hpp"
#include "client/device.hpp"
#include "client/trace.hpp"
#include "sim/simulator.hpp"

namespace {
// Per thread: the simulator answering in this process allocates on its own threads.
thread_local size_t t_allocations = 0;
}  // namespace

// Counting replacements for the global allocation functions. GCC cannot see
// that new and delete below are a matching malloc/free pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t n) {
    ++t_allocations;
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

constexpr size_t kImageSize = 4u << 20;
constexpr uint16_t kChunk = 4088;

sim::Simulator& simulator() {
    static auto* s = [] {
        sim::DeviceModel m;
        m.chunk_size = kChunk;
        sim::SimulatorOptions o;
        o.keep_log = false;
        auto* sim = new sim::Simulator({m}, o);
        sim->start();
        return sim;
    }();
    return *s;
}

// One connection serves both sides of each comparison: the raw exchanges go
// over the Device's own socket, so that both meet the same simulator thread
// and the same socket settings, and only the client's work differs.
const Device& shared_device() {
    static const Device d = [] {
        ResolvedService s;
        ServiceAddress a;
        ServiceAddress::parse("127.0.0.1", a);
        s.addresses.push_back(a);
        s.port = simulator().port(0);
        auto r = Device::connect(s);
        if (!r) throw std::runtime_error(r.error().debug_text());
        return std::move(*r);
    }();
    return d;
}

// What any minimal client would do: one send, then read one answer packet.
class RawClient {
public:
    RawClient() : fd_(shared_device().connection()->stream.fd()) {}
    // Sends `len` bytes of buf, reads one answer packet into buf.
    size_t exchange(uint8_t* buf, size_t len) {
        if (::send(fd_, buf, len, MSG_NOSIGNAL) != static_cast<ssize_t>(len)) throw std::runtime_error("send");
        read_exact(buf, 4);
        const size_t payload = buf[2] | buf[3] << 8;
        read_exact(buf + 4, payload);
        return 4 + payload;
    }

private:
    void read_exact(uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t r = ::recv(fd_, p, n, 0);
            if (r <= 0) throw std::runtime_error("recv");
            p += r;
            n -= static_cast<size_t>(r);
        }
    }
    int fd_;
};

void BM_RawGetName(benchmark::State& state) {
    RawClient raw;
    uint8_t buf[4096];
    for (auto _ : state) {
        std::memcpy(buf, "\x03\x00\x00\x00", 4);
        benchmark::DoNotOptimize(raw.exchange(buf, 4));
    }
}

double g_get_name_allocations = 0.0;
size_t g_name_allocations = 0;

void BM_ClientGetName(benchmark::State& state) {
    const Device& d = shared_device();
    const size_t before = t_allocations;
    for (auto _ : state) {
        auto name = d.get_name();
        if (!name) state.SkipWithError("get_name failed");
        benchmark::DoNotOptimize(name);
    }
    g_get_name_allocations =
        static_cast<double>(t_allocations - before) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.counters["allocs/call"] = g_get_name_allocations;
    // What holding the name costs by itself: the string the call returns.
    const std::string name = d.get_name().value_or("");
    const size_t at_copy = t_allocations;
    const std::string copy(name.data(), name.size());
    benchmark::DoNotOptimize(copy);
    g_name_allocations = t_allocations - at_copy;
}

const std::vector<uint8_t>& image() {
    static const std::vector<uint8_t> img = [] {
        std::vector<uint8_t> v(kImageSize);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 31 + 7);
        return v;
    }();
    return img;
}

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Stop-and-wait with the same packets the client sends: start, chunks, finalize.
void raw_update(RawClient& raw) {
    uint8_t buf[4096];
    const auto& img = image();
    const uint8_t start[] = {0x31, 0x00, 0x05, 0x00, 0x00, 0, 0, 0x40, 0};  // 4 MiB
    std::memcpy(buf, start, sizeof start);
    raw.exchange(buf, sizeof start);
    const uint16_t chunk = static_cast<uint16_t>(buf[4] | buf[5] << 8);
    uint16_t index = 0;
    for (size_t off = 0; off < img.size(); off += chunk, ++index) {
        const auto len = static_cast<uint16_t>(std::min<size_t>(chunk, img.size() - off));
        put16(buf, 51);
        put16(buf + 2, static_cast<uint16_t>(4 + len));
        put16(buf + 4, index);
        put16(buf + 6, len);
        std::memcpy(buf + 8, img.data() + off, len);
        raw.exchange(buf, 8u + len);
        if (buf[4] != 0 || buf[5] != 0) throw std::runtime_error("chunk rejected");
    }
    std::memcpy(buf, "\x35\x00\x00\x00", 4);
    raw.exchange(buf, 4);
}

void BM_RawFirmware(benchmark::State& state) {
    RawClient raw;
    for (auto _ : state) raw_update(raw);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image().size()));
}

struct Quiet : FirmwareUpdateCallbacks {
    void update_started(uint64_t) override {}
    void report_progress(uint64_t) override {}
    void start_finalizing() override {}
    void update_finished(FirmwareUpdateResult) override {}
};

void BM_ClientFirmware(benchmark::State& state) {
    const Device& d = shared_device();
    Quiet cb;
    for (auto _ : state) {
        if (!d.update_firmware_from_blob(image(), cb)) state.SkipWithError("update failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image().size()));
}

double median_of(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

template <class F>
double seconds(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Load from elsewhere on the machine comes in bursts longer than one block,
// so each pair of adjacent blocks (raw, client; the order alternating) meets
// nearly the same conditions; the median of the per-pair ratios is the figure.
double g_get_name_ratio = 0.0;
double g_firmware_ratio = 0.0;

// The median over the benchmark's iterations of other's time / base's time,
// from adjacent blocks run in alternating order.
template <class Base, class Other>
double paired_ratio(benchmark::State& state, Base&& base, Other&& other) {
    std::vector<double> ratios;
    bool base_first = true;
    for (auto _ : state) {
        double b = 0, o = 0;
        if (base_first) {
            b = seconds(base);
            o = seconds(other);
        } else {
            o = seconds(other);
            b = seconds(base);
        }
        base_first = !base_first;
        ratios.push_back(o / b);
    }
    return median_of(ratios);
}

constexpr int kGetNameBlock = 50;

void get_name_block(const Device& d) {
    for (int k = 0; k < kGetNameBlock; ++k) {
        if (!d.get_name()) throw std::runtime_error("get_name failed");
    }
}

void BM_GetNamePaired(benchmark::State& state) {
    RawClient raw;
    const Device& d = shared_device();
    uint8_t buf[4096];
    auto raw_block = [&] {
        for (int k = 0; k < kGetNameBlock; ++k) {
            std::memcpy(buf, "\x03\x00\x00\x00", 4);
            raw.exchange(buf, 4);
        }
    };
    g_get_name_ratio = paired_ratio(state, raw_block, [&] { get_name_block(d); });
    state.counters["client_time_over_raw"] = g_get_name_ratio;
}

double g_traced_ratio = 0.0;

void BM_GetNameTracedPaired(benchmark::State& state) {
    const Device& d = shared_device();
    const std::string path = "/tmp/tq-bench-trace-" + std::to_string(::getpid()) + ".pcapng";
    auto traced_block = [&] {
        if (!trace::start(path)) throw std::runtime_error("cannot write " + path);
        get_name_block(d);
        trace::stop();
    };
    g_traced_ratio = paired_ratio(state, [&] { get_name_block(d); }, traced_block);
    ::unlink(path.c_str());
    state.counters["traced_over_untraced"] = g_traced_ratio;
}

void BM_FirmwarePaired(benchmark::State& state) {
    RawClient raw;
    const Device& d = shared_device();
    Quiet cb;
    std::vector<double> ratios;
    bool raw_first = true;
    for (auto _ : state) {
        double r = 0, c = 0;
        auto raw_run = [&] { raw_update(raw); };
        auto client_run = [&] {
            if (!d.update_firmware_from_blob(image(), cb)) throw std::runtime_error("update failed");
        };
        if (raw_first) {
            r = seconds(raw_run);
            c = seconds(client_run);
        } else {
            c = seconds(client_run);
            r = seconds(raw_run);
        }
        raw_first = !raw_first;
        ratios.push_back(r / c);  // throughput ratio
    }
    g_firmware_ratio = median_of(ratios);
    state.counters["client_throughput_over_raw"] = g_firmware_ratio;
}

// Collects the median real time per benchmark for the absolute figures.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                median[r.run_name.function_name] = r.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> median;
};

}  // namespace

BENCHMARK(BM_RawGetName)->Repetitions(15)->MinTime(0.2)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_ClientGetName)->Repetitions(15)->MinTime(0.2)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_RawFirmware)->Repetitions(9)->MinTime(0.5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_ClientFirmware)->Repetitions(9)->MinTime(0.5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_GetNamePaired)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_FirmwarePaired)->MinTime(4.0)->UseRealTime();
BENCHMARK(BM_GetNameTracedPaired)->MinTime(3.0)->UseRealTime();

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&](const char* a, const char* b) {
        return reporter.median.count(a) && reporter.median.count(b) ? reporter.median[a] / reporter.median[b] : 0.0;
    };
    std::printf("\nget_name, separate runs (medians): client / raw time per exchange = %.3f\n",
                ratio("BM_ClientGetName", "BM_RawGetName"));
    std::printf("firmware, separate runs (medians): client throughput / raw = %.3f\n",
                ratio("BM_RawFirmware", "BM_ClientFirmware"));
    std::printf("get_name, paired blocks: client / raw time per exchange = %.3f (target <= 1.05)\n", g_get_name_ratio);
    std::printf("get_name: %.2f heap allocations per call, %zu of them the returned name's own storage\n",
                g_get_name_allocations, g_name_allocations);
    std::printf("firmware 4 MiB, chunk %u, paired runs: client throughput / raw = %.3f (target >= 0.90)\n", kChunk,
                g_firmware_ratio);
    std::printf("get_name, paired blocks: traced / untraced time per call = %.3f\n", g_traced_ratio);
    benchmark::Shutdown();
    return 0;
}
