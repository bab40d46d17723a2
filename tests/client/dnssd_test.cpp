// The DNS-SD adapter: its event channel, the names and the question it
// builds, and the mDNS querier against simulated devices on both hosts
// of the private veth pair.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "client/dnssd.hpp"
#include "discovery_support.hpp"
#include "net/mdns_socket.hpp"

namespace tq {
namespace {

using namespace std::chrono_literals;
using dnssd::EventKind;
using dnssd::ServiceEvent;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kType = "_px-command-api._tcp.local.";

ServiceEvent event_named(EventKind kind, const std::string& name) {
    return {kind, ResolvedService{name, {}, 0}};
}

// ---------------------------------------------------------------- channel

TEST(EventChannel, delivers_events_in_the_order_sent) {
    dnssd::EventChannel channel;
    for (const char* name : {"a", "b", "c"}) channel.send(event_named(EventKind::ServiceFound, name));
    for (const char* name : {"a", "b", "c"}) EXPECT_EQ(channel.receive()->service.instance_name, name);
}

TEST(EventChannel, delivers_what_was_queued_before_closing_then_reports_disconnection) {
    dnssd::EventChannel channel;
    channel.send(event_named(EventKind::ServiceResolved, "queued"));
    channel.close();
    EXPECT_FALSE(channel.send(event_named(EventKind::ServiceResolved, "too late")));
    const auto first = channel.receive();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->service.instance_name, "queued");
    EXPECT_FALSE(channel.receive().has_value());
    EXPECT_FALSE(channel.receive().has_value());
}

TEST(EventChannel, closing_wakes_a_blocked_receiver) {
    dnssd::EventChannel channel;
    std::atomic<bool> ended{false};
    std::thread receiver([&] {
        while (channel.receive()) {
        }
        ended = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ended);
    channel.close();
    receiver.join();
    EXPECT_TRUE(ended);
}

// ---------------------------------------------------------------- names

struct SplitCase {
    const char* input;
    std::optional<std::pair<const char*, const char*>> expected;
};

class SplitServiceType : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitServiceType, separates_the_type_from_the_domain) {
    const auto got = dnssd::split_service_type(GetParam().input);
    ASSERT_EQ(got.has_value(), GetParam().expected.has_value());
    if (got) {
        EXPECT_EQ(got->type, GetParam().expected->first);
        EXPECT_EQ(got->domain, GetParam().expected->second);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitServiceType,
    ::testing::Values(SplitCase{"_px-command-api._tcp.local.", std::pair{"_px-command-api._tcp", "local"}},
                      SplitCase{"_px-command-api._tcp.local", std::pair{"_px-command-api._tcp", "local"}},
                      SplitCase{"_http._udp.example.org.", std::pair{"_http._udp", "example.org"}},
                      SplitCase{"", std::nullopt}, SplitCase{"local.", std::nullopt},
                      SplitCase{"_px-command-api.local.", std::nullopt}, SplitCase{"_a._tcp.", std::nullopt},
                      SplitCase{"_a._tcp", std::nullopt}, SplitCase{"px._tcp.local.", std::nullopt}));

// ---------------------------------------------------------------- reply sources

dnssd::LinkPrefix prefix(unsigned index, const char* address, const char* mask, bool loopback = false) {
    dnssd::LinkPrefix p;
    p.index = index;
    p.loopback = loopback;
    p.family = std::string_view(address).find(':') == std::string_view::npos ? AF_INET : AF_INET6;
    ::inet_pton(p.family, address, p.address.data());
    ::inet_pton(p.family, mask, p.mask.data());
    return p;
}

sockaddr_storage source(const char* address, uint16_t port) {
    sockaddr_storage out{};
    if (std::string_view(address).find(':') == std::string_view::npos) {
        auto& sa = reinterpret_cast<sockaddr_in&>(out);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
    } else {
        auto& sa = reinterpret_cast<sockaddr_in6&>(out);
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(port);
        ::inet_pton(AF_INET6, address, &sa.sin6_addr);
    }
    return out;
}

struct SourceCase {
    const char* what;
    const char* address;
    uint16_t port;
    unsigned arrival;
    bool accepted;
};

class ReplySource : public ::testing::TestWithParam<SourceCase> {};

TEST_P(ReplySource, is_a_responder_port_on_the_link_the_reply_arrived_on) {
    const std::vector<dnssd::LinkPrefix> links = {
        prefix(1, "127.0.0.1", "255.0.0.0", true),
        prefix(2, "10.77.0.1", "255.255.255.0"),
        prefix(2, "fe80::1", "ffff:ffff:ffff:ffff::"),
        prefix(3, "192.168.5.1", "255.255.255.0"),
    };
    const auto& c = GetParam();
    EXPECT_EQ(dnssd::from_responder_on_link(source(c.address, c.port), c.arrival, links), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(Table, ReplySource,
                         ::testing::Values(SourceCase{"same_subnet", "10.77.0.2", 5353, 2, true},
                                           SourceCase{"ipv6_link_local", "fe80::2", 5353, 2, true},
                                           SourceCase{"this_host_over_loopback", "10.77.0.1", 5353, 1, true},
                                           SourceCase{"not_port_5353", "10.77.0.2", 40000, 2, false},
                                           SourceCase{"another_subnet", "10.78.0.2", 5353, 2, false},
                                           SourceCase{"ipv6_off_link", "fd78::2", 5353, 2, false},
                                           SourceCase{"the_subnet_of_another_link", "192.168.5.7", 5353, 2, false},
                                           SourceCase{"unknown_interface", "10.77.0.2", 5353, 0, false}),
                         [](const auto& info) { return std::string(info.param.what); });

// ---------------------------------------------------------------- daemon

// Receives until `done` says so or the time is up; returns everything seen.
std::vector<ServiceEvent> collect(dnssd::EventChannel& channel, std::chrono::milliseconds limit,
                                  const std::function<bool(const std::vector<ServiceEvent>&)>& done) {
    std::vector<ServiceEvent> seen;
    std::atomic<bool> finished{false};
    std::thread receiver([&] {
        while (auto e = channel.receive()) {
            seen.push_back(std::move(*e));
            if (done(seen)) break;
        }
        finished = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    if (!finished) channel.close();
    receiver.join();
    return seen;
}

size_t count_kind(const std::vector<ServiceEvent>& events, EventKind kind, const std::string& prefix = "") {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const ServiceEvent& e) {
        return e.kind == kind && e.service.instance_name.compare(0, prefix.size(), prefix) == 0;
    }));
}

ServiceAddress address(const std::string& text) {
    ServiceAddress a;
    EXPECT_TRUE(ServiceAddress::parse(text, a)) << text;
    return a;
}

class Daemon : public ::testing::Test {
protected:
    std::unique_ptr<dnssd::ServiceDaemon> start() {
        auto daemon = dnssd::create_daemon();
        EXPECT_TRUE(daemon.has_value());
        return daemon ? std::move(*daemon) : nullptr;
    }
};

TEST_F(Daemon, reports_one_resolution_per_instance_with_every_address_of_its_host) {
    // A device on this host is seen over loopback and over the veth link, on
    // IPv4 and IPv6: several sightings, one resolution.
    testing::SimOptions local;
    local.in_peer = false;
    local.extra = {
        "--bind", "::", "--advertise-address", "127.0.0.1", "--advertise-address", "10.77.0.1", "--advertise-address",
        "fd77::1"};
    testing::SimOptions remote;
    const auto sims = testing::start_sims({local, remote});
    ASSERT_EQ(sims.size(), 2u);

    auto daemon = start();
    ASSERT_TRUE(daemon);
    auto channel = daemon->browse(kType);
    ASSERT_TRUE(channel.has_value());
    // Long enough for late duplicates to show up if they were sent.
    const auto events = collect(**channel, 1500ms, [](const auto&) { return false; });
    ASSERT_TRUE(daemon->shutdown().has_value());

    std::map<uint16_t, std::vector<ResolvedService>> by_port;
    for (const auto& e : events) {
        if (e.kind == EventKind::ServiceResolved) by_port[e.service.port].push_back(e.service);
    }
    ASSERT_EQ(by_port.size(), 2u);
    const unsigned veth = ::if_nametoindex("tq0");
    const auto& here = by_port[sims[0]->ports[0]];
    ASSERT_EQ(here.size(), 1u);
    EXPECT_THAT(here[0].addresses, Contains(address("127.0.0.1")));
    EXPECT_THAT(here[0].addresses, Contains(address("10.77.0.1")));
    EXPECT_THAT(here[0].addresses, Contains(address("fd77::1%" + std::to_string(veth))));
    const auto& there = by_port[sims[1]->ports[0]];
    ASSERT_EQ(there.size(), 1u);
    // IPv6 addresses carry the interface they were seen on.
    EXPECT_THAT(there[0].addresses,
                ::testing::UnorderedElementsAre(address("10.77.0.2"), address("fd77::2%" + std::to_string(veth))));
}

TEST_F(Daemon, browses_the_addresses_a_reply_to_its_question_left_out) {
    // "partial": the reply carries the IPv4 address, not the IPv6 one.
    // "cut": the reply carries one of two IPv4 addresses and says it was
    // truncated. The rest is known only by multicast, to those who ask for it.
    const auto net = testing::Network::current();
    testing::ChildProcess responder(
        {testing::test_python(), TQ_PARTIAL_RESPONDER_SCRIPT, net.peer_addresses.at(0), net.peer_addresses.at(1), "9"},
        net.peer);
    ASSERT_TRUE(responder.wait_for_line("READY", 10s));
    auto daemon = start();
    ASSERT_TRUE(daemon);
    auto channel = daemon->browse(kType);
    ASSERT_TRUE(channel.has_value());
    const auto events =
        collect(**channel, 1500ms, [](const auto& seen) { return count_kind(seen, EventKind::ServiceResolved) == 2; });
    ASSERT_TRUE(daemon->shutdown().has_value());

    std::map<std::string, std::vector<ServiceAddress>> resolved;
    for (const auto& e : events) {
        if (e.kind == EventKind::ServiceResolved) resolved[e.service.instance_name] = e.service.addresses;
    }
    const auto v6 = address("fd77::2%" + std::to_string(::if_nametoindex("tq0")));
    EXPECT_THAT(resolved["partial"], ::testing::UnorderedElementsAre(address("10.77.0.2"), v6));
    EXPECT_THAT(resolved["cut"], ::testing::UnorderedElementsAre(address("10.77.0.2"), address("10.77.0.3"), v6));
}

TEST_F(Daemon, a_withdrawn_instance_is_removed_and_a_new_advertisement_resolves_again) {
    auto sim = std::make_unique<testing::Sim>(testing::SimOptions{});
    ASSERT_TRUE(sim->wait_ready());
    auto daemon = start();
    ASSERT_TRUE(daemon);
    auto channel = daemon->browse(kType);
    ASSERT_TRUE(channel.has_value());
    auto events = collect(**channel, 3s, [](const auto& seen) { return count_kind(seen, EventKind::ServiceResolved); });
    ASSERT_EQ(count_kind(events, EventKind::ServiceResolved), 1u);
    const std::string first = events.back().service.instance_name;

    sim->stop();  // goodbye packets
    events = collect(**channel, 3s, [](const auto& seen) { return count_kind(seen, EventKind::ServiceRemoved); });
    ASSERT_EQ(count_kind(events, EventKind::ServiceRemoved), 1u);
    EXPECT_EQ(events.back().service.instance_name, first);

    sim = std::make_unique<testing::Sim>(testing::SimOptions{});
    ASSERT_TRUE(sim->wait_ready());
    events = collect(**channel, 3s, [](const auto& seen) { return count_kind(seen, EventKind::ServiceResolved); });
    ASSERT_EQ(count_kind(events, EventKind::ServiceResolved), 1u);
    EXPECT_EQ(events.back().service.port, sim->ports[0]);
    EXPECT_TRUE(daemon->shutdown().has_value());
}

TEST_F(Daemon, shutdown_disconnects_the_channel_and_wakes_its_receiver) {
    auto daemon = start();
    ASSERT_TRUE(daemon);
    auto channel = daemon->browse(kType);
    ASSERT_TRUE(channel.has_value());
    std::vector<ServiceEvent> seen;
    std::thread receiver([&] {
        while (auto e = (*channel)->receive()) seen.push_back(*e);
    });
    std::this_thread::sleep_for(50ms);
    const bool stopped = daemon->shutdown().has_value();
    std::atomic<bool> joined{false};
    std::atomic<bool> forced{false};
    std::thread watchdog([&] {
        // Ends the test instead of hanging it if the channel stayed connected.
        for (int i = 0; i < 200 && !joined; ++i) std::this_thread::sleep_for(10ms);
        if (!joined) {
            forced = true;
            (*channel)->close();
        }
    });
    receiver.join();
    joined = true;
    watchdog.join();
    const bool woke_by_itself = !forced;
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(woke_by_itself);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().kind, EventKind::SearchStarted);
    EXPECT_EQ(seen.back().kind, EventKind::SearchStopped);
    EXPECT_TRUE(daemon->shutdown().has_value());  // again: nothing to do
}

TEST_F(Daemon, refuses_a_second_browse_and_browsing_after_shutdown) {
    auto daemon = start();
    ASSERT_TRUE(daemon);
    ASSERT_TRUE(daemon->browse(kType).has_value());
    EXPECT_EQ(daemon->browse(kType).error(), dnssd::Failure::Browse);
    ASSERT_TRUE(daemon->shutdown().has_value());
    EXPECT_EQ(daemon->browse(kType).error(), dnssd::Failure::Browse);
}

class BadServiceType : public Daemon, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadServiceType, fails_to_browse) {
    auto daemon = start();
    ASSERT_TRUE(daemon);
    const auto browse = daemon->browse(GetParam());
    ASSERT_FALSE(browse.has_value());
    EXPECT_EQ(browse.error(), dnssd::Failure::Browse);
}

// One name that cannot be split, and one whose protocol is neither _tcp nor _udp.
INSTANTIATE_TEST_SUITE_P(Table, BadServiceType, ::testing::Values("_px-command-api._tcp", "_x._carrier-pigeon.local."));

// One socket per family on UDP 5353 without address reuse: the querier can
// bind neither, which is the one way creating the daemon fails.
TEST_F(Daemon, cannot_be_created_while_another_program_holds_port_5353_exclusively) {
    const int v4 = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int v6 = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    a4.sin_port = htons(5353);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(5353);
    const int one = 1;
    ::setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    ASSERT_EQ(::bind(v4, reinterpret_cast<sockaddr*>(&a4), sizeof a4), 0);
    ASSERT_EQ(::bind(v6, reinterpret_cast<sockaddr*>(&a6), sizeof a6), 0);
    const auto daemon = dnssd::create_daemon();
    ::close(v4);
    ::close(v6);
    ASSERT_FALSE(daemon.has_value());
    EXPECT_EQ(daemon.error(), dnssd::Failure::CreateDaemon);
    // Free again, it works.
    EXPECT_TRUE(dnssd::create_daemon().has_value());
}

TEST_F(Daemon, writes_nothing_to_standard_error) {
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int file = ::memfd_create("stderr", MFD_CLOEXEC);
    ::dup2(file, 2);
    {
        auto daemon = dnssd::create_daemon();
        if (daemon) {
            (void)(*daemon)->browse(kType);
            std::this_thread::sleep_for(200ms);
            (void)(*daemon)->shutdown();
        }
    }
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    const off_t written = ::lseek(file, 0, SEEK_END);
    ::close(file);
    EXPECT_EQ(written, 0);
}

size_t thread_count() {
    return static_cast<size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator{}));
}

TEST_F(Daemon, repeated_create_browse_shutdown_cycles_leave_no_thread_behind) {
    size_t before = 0;
    for (int i = 0; i < 21; ++i) {
        auto daemon = start();
        ASSERT_TRUE(daemon);
        auto channel = daemon->browse(kType);
        ASSERT_TRUE(channel.has_value());
        ASSERT_TRUE(daemon->shutdown().has_value());
        while ((*channel)->receive()) {
        }
        // Counted after the first cycle: ThreadSanitizer's runtime starts a
        // helper thread of its own along with the process's first thread.
        if (i == 0) before = thread_count();
    }
    EXPECT_EQ(thread_count(), before);
}

TEST_F(Daemon, questions_go_out_on_loopback_and_the_veth_link) {
    // IPv4 on lo and tq0, IPv6 on tq0 (the kernel refuses IPv6 multicast on lo).
    const auto indices = [](int family) {
        std::vector<unsigned> out;
        for (const auto& link : dnssd::mdns_interfaces(family)) out.push_back(link.index);
        return out;
    };
    EXPECT_THAT(indices(AF_INET), ::testing::UnorderedElementsAre(::if_nametoindex("lo"), ::if_nametoindex("tq0")));
    EXPECT_THAT(indices(AF_INET6), ::testing::ElementsAre(::if_nametoindex("tq0")));
}

}  // namespace
}  // namespace tq
