// What a short scan costs beyond its wait: 100 ms scans against simulated
// devices advertised on the other host of a private veth pair (scripts/netns
// --pair; the binary re-runs itself through it, so it needs root). The
// reported time is the time beyond the wait.
//
// BM_Scan100ms*: 1, 10 and 50 devices played by one simulator process;
// target: at most 30 ms + 2 ms per device. The counters show how many devices
// each scan returned.
//
// BM_Scan100msSeparateResponders: 1, 10, 50 and 200 devices, each its own
// simulator process (its own mDNS responder and TCP server, as every real
// device is its own host), every answer delayed by 1 ms to stand for a
// round trip on a real network. Each population is scanned with one connect
// at a time (the baseline) and with the scan's pool, both in this run;
// target: at most 30 ms + 0.5 ms per device and >= 99 % found.
//
// BM_ConnectAfterWait: the same processes, but every resolution is handed to
// the scan at the end of its wait (a scripted daemon queues them while
// shutting down), so the time beyond the wait is the connects alone, free of
// the mDNS traffic N responders on this one machine cause each other.
//
// BM_Scan100msStar: as BM_Scan100msSeparateResponders, but each device is a
// host of its own: its own network namespace, joined to the scanner's by its
// own veth pair (scripts/netns --star; the scanner's namespace has one link
// per device, and the links of the devices not in the population are down).
// A device's multicast reaches the scanner and no other device. Real devices
// on a switch do hear each other, but each has its own CPU for that; here
// they share two, so cutting them off from each other is what keeps the
// found share a measure of the scan rather than of this machine.
// The scanner, though, now has one interface per device, which no real
// scanner has: opening its sockets, asking on every link and leaving the
// groups at the end cost it work per interface on every scan (about 85 ms of
// CPU at 200), and its mDNS socket overflows with 200 links' answers. With
// --star_switch (our flag, not the benchmark library's) the devices' links
// meet on a bridge whose device ports are isolated from each other and the
// scanner has one link to it, as on a real switch: the devices still hear
// only the scanner, and each hears all of the scanner's queries. That is the
// layout that models a fleet best.
//
// scanner_udp_drops_per_scan: datagrams the kernel dropped in the scanner's
// namespace for a full socket buffer, answers the scan never read.
//
// A table with mean and worst of 10 and the ratio is printed at the end.
// responders_cpu_ms_per_scan is the CPU the simulators used per scan: every
// responder hears every other's queries and answers, so N responders on one
// machine cost it about N^2 work that N real devices spread over N CPUs. Once
// that exceeds the machine (about 50 responders on 2 cores), the separate
// responders' figures measure the machine, and BM_ConnectAfterWait is the
// measure of the connects.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "client/scan.hpp"
#include "discovery_support.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 100ms;
constexpr size_t kStarHosts = 200;

// CPU time used so far by this process's children (the simulators): how much
// of the machine N responders take from each other and from the scan.
// CPU of this process (the scanner: querier, connects), user and system.
double own_cpu_ms() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double children_cpu_ms() {
    const std::string parent = std::to_string(::getpid());
    double ticks = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    while (const dirent* entry = ::readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // After the name in parentheses: state, ppid, then utime and stime
        // as the 12th and 13th fields.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        std::vector<std::string> fields;
        while (fields.size() < 13 && rest >> field) fields.push_back(field);
        if (fields.size() == 13 && fields[1] == parent) ticks += std::stod(fields[11]) + std::stod(fields[12]);
    }
    ::closedir(proc);
    return ticks * 1e3 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Datagrams the kernel dropped in this namespace because a UDP socket's
// receive buffer was full (IPv4 and IPv6): answers the scanner never saw.
double udp_receive_buffer_drops() {
    double total = 0;
    std::ifstream snmp("/proc/net/snmp");
    std::string names;
    std::string values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind("Udp: ", 0) != 0) continue;
        std::istringstream n(names);
        std::istringstream v(values);
        std::string name;
        std::string value;
        while (n >> name && v >> value) {
            if (name == "RcvbufErrors") total += std::stod(value);
        }
    }
    std::ifstream snmp6("/proc/net/snmp6");
    std::string name;
    double value = 0;
    while (snmp6 >> name >> value) {
        if (name == "Udp6RcvbufErrors") total += value;
    }
    return total;
}

// Each device on its own link; the links of the first `up` star hosts up,
// the rest down, so that the scanner sees only the interfaces of the devices
// in the population (and none for the other benchmarks).
bool set_star_links(size_t up) {
    FILE* ip = ::popen("ip -batch -", "w");
    if (ip == nullptr) return false;
    const auto links = tq::testing::Network::current().star_links;
    for (size_t i = 0; i < links.size(); ++i) {
        // One link for all (a switch): up for any star population.
        const bool on = links.size() == 1 ? up > 0 : i < up;
        std::fprintf(ip, "link set %s %s\n", links[i].c_str(), on ? "up" : "down");
    }
    return ::pclose(ip) == 0;
}

enum class Layout { OneProcess, Separate, Star };

// The devices on the network, kept for every benchmark that scans the same
// population: their names are established once, as with devices that have
// been on the network a while. One population on the network at a time.
struct Population {
    size_t count = 0;
    Layout layout = Layout::OneProcess;
    std::vector<std::unique_ptr<tq::testing::Sim>> sims;
};

Population& current_population() {
    static Population current;
    return current;
}

bool populate(size_t count, Layout layout) {
    Population& current = current_population();
    if (current.count == count && current.layout == layout && !current.sims.empty()) return true;
    current.sims.clear();
    if (layout == Layout::Star && tq::testing::Network::current().star.size() < count) return false;
    if (!set_star_links(layout == Layout::Star ? count : 0)) return false;
    std::vector<tq::testing::SimOptions> options;
    if (layout != Layout::OneProcess) {
        for (size_t i = 0; i < count; ++i) {
            tq::testing::SimOptions o;
            o.serial = i + 1;
            if (layout == Layout::Star) o.star_host = i;
            // The three handshake answers.
            o.extra = {"--fault", "1:delay=1", "--fault", "39:delay=1", "--fault", "29:delay=1"};
            options.push_back(o);
        }
    } else {
        tq::testing::SimOptions o;
        o.devices = count;
        options.push_back(o);
    }
    current.sims = tq::testing::start_sims(options);
    if (current.sims.empty()) return false;
    current.count = count;
    current.layout = layout;
    // Past the announcements: every responder hears every other's, so a
    // large population keeps this machine busy for seconds after READY.
    std::this_thread::sleep_for(1s);
    for (int second = 0; second < 30; ++second) {
        const double before = children_cpu_ms();
        std::this_thread::sleep_for(1s);
        if (children_cpu_ms() - before < 20) break;
    }
    return true;
}

struct Figures {
    double mean_ms = 0;
    double worst_ms = 0;
    double found_ratio = 0;
};
// (devices, connects in flight) -> figures, for the tables printed at the end.
using FigureTable = std::map<std::pair<size_t, size_t>, Figures>;
FigureTable& separate_figures() {
    static FigureTable figures;
    return figures;
}
FigureTable& after_wait_figures() {
    static FigureTable figures;
    return figures;
}
FigureTable& star_figures() {
    static FigureTable figures;
    return figures;
}

// Hands the scan every resolution when it is told to stop, as a daemon does
// with resolutions still settling at the end of the wait.
class ResolvedAtShutdown final : public tq::dnssd::ServiceDaemon {
public:
    explicit ResolvedAtShutdown(std::vector<tq::ResolvedService> services) : services_(std::move(services)) {}
    tl::expected<std::shared_ptr<tq::dnssd::EventChannel>, tq::dnssd::Failure> browse(std::string_view) override {
        channel_ = std::make_shared<tq::dnssd::EventChannel>();
        return channel_;
    }
    tl::expected<void, tq::dnssd::Failure> shutdown() override {
        for (const auto& service : services_) channel_->send({tq::dnssd::EventKind::ServiceResolved, service});
        channel_->close();
        return {};
    }

private:
    std::vector<tq::ResolvedService> services_;
    std::shared_ptr<tq::dnssd::EventChannel> channel_;
};

struct ScanSetup {
    // Each scan comes 600 ms after the previous one, past the half second in
    // which responders will not repeat a multicast answer, so every scan
    // meets idle devices; otherwise the scans follow each other at once.
    bool quiet = false;
    // One simulator process per device (see the top of the file), not one for all.
    bool separate = false;
    // Those processes each on a host of its own (implies separate).
    bool star = false;
    // Found by a scripted daemon at the end of the wait instead of by mDNS.
    bool after_wait = false;
    size_t connects_in_flight = tq::scan::kConnectsInFlight;
};

void scan(benchmark::State& state, ScanSetup setup) {
    const auto count = static_cast<size_t>(state.range(0));
    setup.separate = setup.separate || setup.star;
    const Layout layout = setup.star ? Layout::Star : setup.separate ? Layout::Separate : Layout::OneProcess;
    if (!populate(count, layout)) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    const bool quiet = setup.quiet;
    tq::scan::Collaborators with = tq::scan::Collaborators::standard();
    with.connects_in_flight = setup.connects_in_flight;
    if (setup.after_wait) {
        std::vector<tq::ResolvedService> services;
        for (const auto& sim : current_population().sims) {
            tq::ResolvedService service;
            service.instance_name = "device on " + std::to_string(sim->ports.at(0));
            for (const auto& text : tq::testing::Network::current().peer_addresses) {
                tq::ServiceAddress address;
                if (tq::ServiceAddress::parse(text, address)) service.addresses.push_back(address);
            }
            service.port = sim->ports.at(0);
            services.push_back(std::move(service));
        }
        with.create_daemon = [services]() -> tq::dnssd::DaemonResult {
            return std::make_unique<ResolvedAtShutdown>(services);
        };
    }
    // What the time beyond the wait is made of: resolutions still arriving,
    // or slow connects.
    std::mutex mutex;
    Clock::time_point last_connect_start;
    Clock::duration slowest_connect{};
    with.connect = [&](const tq::ResolvedService& service, std::chrono::nanoseconds timeout) {
        const auto began = Clock::now();
        auto device = tq::Device::connect(service, timeout);
        const std::lock_guard lock(mutex);
        last_connect_start = std::max(last_connect_start, began);
        slowest_connect = std::max(slowest_connect, Clock::now() - began);
        return device;
    };
    double found = 0;
    double worst_ms = 0;
    double total_ms = 0;
    double latest_start_ms = 0;
    const double responders_cpu_before = children_cpu_ms();
    const double scanner_cpu_before = own_cpu_ms();
    const double drops_before = udp_receive_buffer_drops();
    for (auto _ : state) {
        if (quiet) std::this_thread::sleep_for(600ms);  // manual time: not counted
        const auto start = Clock::now();
        last_connect_start = start;
        const auto result = tq::scan::run(with, kWait, tq::kDefaultConnectionTimeout);
        const std::chrono::duration<double> beyond = Clock::now() - start - kWait;
        latest_start_ms = std::max(
            latest_start_ms, std::chrono::duration<double, std::milli>(last_connect_start - start - kWait).count());
        state.SetIterationTime(beyond.count());
        worst_ms = std::max(worst_ms, beyond.count() * 1e3);
        total_ms += beyond.count() * 1e3;
        if (!result) {
            state.SkipWithError(result.error().debug_text().c_str());
            return;
        }
        found += static_cast<double>(result->size());
    }
    const double scans = static_cast<double>(state.iterations());
    state.counters["responders_cpu_ms_per_scan"] = (children_cpu_ms() - responders_cpu_before) / scans;
    state.counters["scanner_cpu_ms_per_scan"] = (own_cpu_ms() - scanner_cpu_before) / scans;
    state.counters["scanner_udp_drops_per_scan"] = (udp_receive_buffer_drops() - drops_before) / scans;
    state.counters["devices"] = static_cast<double>(count);
    state.counters["found_per_scan"] = found / scans;
    state.counters["found_ratio"] = found / scans / static_cast<double>(count);
    state.counters["worst_beyond_ms"] = worst_ms;
    state.counters["latest_connect_start_beyond_ms"] = latest_start_ms;
    state.counters["slowest_connect_ms"] = std::chrono::duration<double, std::milli>(slowest_connect).count();
    const double per_device_ms = setup.separate ? 0.5 : 2.0;
    state.counters["target_ms"] = 30.0 + per_device_ms * static_cast<double>(count);
    if (setup.separate) {
        (setup.star         ? star_figures()
         : setup.after_wait ? after_wait_figures()
                            : separate_figures())[{count, setup.connects_in_flight}] = {
            total_ms / scans, worst_ms, found / scans / static_cast<double>(count)};
    }
}

void BM_Scan100ms(benchmark::State& state) {
    scan(state, {});
}
void BM_Scan100msIdleDevices(benchmark::State& state) {
    scan(state, {.quiet = true});
}
// Second argument: connects in flight, 1 for one device after another. Idle
// devices, as a scan usually meets them.
void BM_Scan100msSeparateResponders(benchmark::State& state) {
    scan(state, {.quiet = true, .separate = true, .connects_in_flight = static_cast<size_t>(state.range(1))});
}
void BM_Scan100msStar(benchmark::State& state) {
    scan(state, {.quiet = true, .star = true, .connects_in_flight = static_cast<size_t>(state.range(1))});
}
void BM_ConnectAfterWait(benchmark::State& state) {
    scan(state, {.separate = true, .after_wait = true, .connects_in_flight = static_cast<size_t>(state.range(1))});
}

BENCHMARK(BM_Scan100ms)->Arg(1)->Arg(10)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

BENCHMARK(BM_Scan100msIdleDevices)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

// Both ways in a row for each population, so that it starts only once.
void one_at_a_time_and_pooled(benchmark::internal::Benchmark* b) {
    for (const int64_t devices : {1, 10, 50, 200}) {
        b->Args({devices, 1});
        b->Args({devices, static_cast<int64_t>(tq::scan::kConnectsInFlight)});
    }
    b->ArgNames({"devices", "in_flight"})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
}
BENCHMARK(BM_ConnectAfterWait)->Apply(one_at_a_time_and_pooled);
BENCHMARK(BM_Scan100msSeparateResponders)->Apply(one_at_a_time_and_pooled);
BENCHMARK(BM_Scan100msStar)->Apply(one_at_a_time_and_pooled);

void print_table(const FigureTable& figures, const char* title) {
    if (figures.empty()) return;
    std::printf("\n%s: time beyond the 100 ms wait, mean / worst of 10 scans\n%7s  %21s  %21s  %9s  %9s  %s\n", title,
                "devices", "one at a time (ms)", "pool of 16 (ms)", "mean 1/16", "target", "found (1 / 16)");
    for (const auto& [key, sequential] : figures) {
        if (key.second != 1) continue;
        const auto pooled = figures.find({key.first, tq::scan::kConnectsInFlight});
        if (pooled == figures.end()) continue;
        const Figures& p = pooled->second;
        const double target = 30.0 + 0.5 * static_cast<double>(key.first);
        std::printf("%7zu  %9.1f / %9.1f  %9.1f / %9.1f  %8.1fx  %6.1f ms  %5.1f %% / %5.1f %%%s\n", key.first,
                    sequential.mean_ms, sequential.worst_ms, p.mean_ms, p.worst_ms, sequential.mean_ms / p.mean_ms,
                    target, 100 * sequential.found_ratio, 100 * p.found_ratio,
                    p.worst_ms <= target && p.found_ratio >= 0.99 ? "" : "  (pool misses the target)");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // --star_switch: the star's hosts meet on one isolating switch instead
    // of one link each (see the top of the file). Not a benchmark flag.
    const auto end = std::remove(argv + 1, argv + argc, std::string_view("--star_switch"));
    const bool star_switch = end != argv + argc;
    argc = static_cast<int>(end - argv);
    argv[argc] = nullptr;
    std::vector<std::string> star = {"--star", std::to_string(kStarHosts)};
    if (star_switch) star.emplace_back("--switch");
    if (const auto status = tq::testing::enter_private_network(argc, argv, star)) return *status;
    ::signal(SIGPIPE, SIG_IGN);
    if (!set_star_links(0)) {
        std::fprintf(stderr, "cannot take the star's links down\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    print_table(after_wait_figures(), "Separate devices, 1 ms per answer, all resolved at the end of the wait");
    print_table(separate_figures(), "Separate responders, 1 ms per answer");
    const auto net = tq::testing::Network::current();
    print_table(star_figures(), net.star_links.size() < net.star.size()
                                    ? "Separate hosts on one isolating switch, 1 ms per answer"
                                    : "Separate hosts, one link each, 1 ms per answer");
    benchmark::Shutdown();
    return 0;
}
