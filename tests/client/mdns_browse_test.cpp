// The browse behind the querier, fed messages directly: what it reports,
// when, what it asks next and what it refuses to read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/mdns_browse.hpp"
#include "net/platform.hpp"

namespace tq::dnssd {
namespace {

using namespace std::chrono_literals;
using Section = wire::MessageWriter::Section;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

const wire::Name kService = wire::split_name("_px-command-api._tcp.local");
const wire::Name kInstance = wire::split_name("dev._px-command-api._tcp.local");
const wire::Name kHost = {"h", "local"};
constexpr uint16_t kId = 77;

ServiceAddress address(const char* text) {
    ServiceAddress a;
    EXPECT_TRUE(ServiceAddress::parse(text, a)) << text;
    return a;
}

struct Parts {
    bool ptr = true;
    bool srv = true;
    std::vector<const char*> addresses = {"10.0.0.2", "fd00::2"};
    uint32_t ptr_ttl = 4500;
    bool truncated = false;
    const wire::Name* echo = nullptr;  // a legacy reply to this PTR question
    uint16_t id = kId;
};

std::vector<uint8_t> message(const Parts& p) {
    wire::MessageWriter out(p.echo != nullptr ? p.id : 0, true, 1400);
    if (p.echo != nullptr) out.question(*p.echo, wire::kTypePtr);
    if (p.ptr) out.ptr(Section::Answer, kService, kInstance, p.ptr_ttl);
    if (p.srv) out.srv(Section::Additional, kInstance, kHost, 4000, 120, true);
    for (const char* a : p.addresses) out.address(Section::Additional, kHost, address(a), 120, true);
    if (p.truncated) out.set_truncated();
    return out.bytes();
}

class BrowseTest : public ::testing::Test {
protected:
    Browse browse{kService, kId, 30ms, [this](ServiceEvent e) { events.push_back(std::move(e)); }};
    std::vector<ServiceEvent> events;
    Browse::Clock::time_point t0{};

    std::vector<ResolvedService> resolved() const {
        std::vector<ResolvedService> out;
        for (const auto& e : events) {
            if (e.kind == EventKind::ServiceResolved) out.push_back(e.service);
        }
        return out;
    }
    std::vector<uint16_t> follow_up_types() {
        std::vector<uint16_t> out;
        for (const auto& q : browse.take_follow_ups()) out.push_back(q.type);
        return out;
    }
};

TEST_F(BrowseTest, reports_an_instance_once_with_every_address_after_the_settle_time) {
    browse.received(message({.addresses = {"10.0.0.2"}}), Browse::Via::Group, 2, t0);
    browse.received(message({.addresses = {"fd00::2"}}), Browse::Via::Group, 2, t0 + 10ms);
    browse.report_due(t0 + 29ms);
    EXPECT_TRUE(resolved().empty());
    browse.report_due(t0 + 30ms);
    browse.received(message({}), Browse::Via::Group, 2, t0 + 40ms);
    browse.report_due(t0 + 100ms);
    browse.finish();
    ASSERT_EQ(resolved().size(), 1u);
    EXPECT_EQ(resolved()[0].instance_name, "dev");
    EXPECT_EQ(resolved()[0].port, 4000);
    // IPv6 addresses carry the interface they were heard on.
    EXPECT_THAT(resolved()[0].addresses, UnorderedElementsAre(address("10.0.0.2"), address("fd00::2%2")));
}

TEST_F(BrowseTest, reads_a_legacy_reply_only_with_our_id_and_a_question_we_asked) {
    const wire::Name other = wire::split_name("_other._tcp.local");
    browse.received(message({.echo = &kService, .id = kId + 1}), Browse::Via::Legacy, 2, t0);
    browse.received(message({.echo = &other}), Browse::Via::Legacy, 2, t0);
    browse.received(message({}), Browse::Via::Legacy, 2, t0);  // no question echoed
    EXPECT_TRUE(events.empty());
    browse.received(message({.echo = &kService}), Browse::Via::Legacy, 2, t0);
    EXPECT_EQ(events.size(), 1u);  // found
}

TEST_F(BrowseTest, asks_for_what_a_reply_left_out_once) {
    browse.received(message({.srv = false, .addresses = {}}), Browse::Via::Group, 2, t0);
    EXPECT_THAT(follow_up_types(), ElementsAre(wire::kTypeSrv));
    browse.received(message({.addresses = {"10.0.0.2"}}), Browse::Via::Group, 2, t0);
    EXPECT_THAT(follow_up_types(), ElementsAre(wire::kTypeAaaa));
    // A reply cut short may have lost addresses of either family.
    browse.received(message({.truncated = true}), Browse::Via::Group, 2, t0);
    EXPECT_THAT(follow_up_types(), ElementsAre(wire::kTypeA));
    browse.received(message({.truncated = true}), Browse::Via::Group, 2, t0);
    EXPECT_THAT(follow_up_types(), ::testing::IsEmpty());
}

TEST_F(BrowseTest, a_goodbye_removes_an_instance_before_it_is_reported) {
    browse.received(message({}), Browse::Via::Group, 2, t0);
    browse.received(message({.srv = false, .addresses = {}, .ptr_ttl = 0}), Browse::Via::Group, 2, t0 + 5ms);
    browse.report_due(t0 + 100ms);
    browse.finish();
    EXPECT_TRUE(resolved().empty());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, EventKind::ServiceRemoved);
}

TEST_F(BrowseTest, an_instance_named_and_withdrawn_in_one_message_is_gone_and_owes_nothing) {
    wire::MessageWriter out(0, true, 1400);
    out.ptr(Section::Answer, kService, kInstance, 4500);
    out.ptr(Section::Answer, kService, kInstance, 0);
    browse.received(out.bytes(), Browse::Via::Group, 2, t0);
    EXPECT_EQ(browse.instance_count(), 0u);
    EXPECT_TRUE(browse.take_follow_ups().empty());
}

TEST_F(BrowseTest, an_instance_whose_addresses_were_withdrawn_while_it_settled_is_not_reported) {
    browse.received(message({.addresses = {"10.0.0.2"}}), Browse::Via::Group, 2, t0);
    wire::MessageWriter goodbye(0, true, 1400);
    goodbye.address(Section::Answer, kHost, address("10.0.0.2"), 0, true);
    browse.received(goodbye.bytes(), Browse::Via::Group, 2, t0 + 5ms);
    browse.finish();
    EXPECT_TRUE(resolved().empty());
}

TEST_F(BrowseTest, an_address_of_this_host_heard_over_loopback_keeps_the_interface_that_holds_it) {
    LinkPrefix lo{1, true, AF_INET6, {}, {}};
    LinkPrefix eth{3, false, AF_INET6, {}, {}};
    ::inet_pton(AF_INET6, "fd00::1", eth.address.data());
    ::inet_pton(AF_INET6, "ffff:ffff:ffff:ffff::", eth.mask.data());
    const LinkPrefix links[] = {lo, eth};
    browse.received(message({.addresses = {"fd00::1"}}), Browse::Via::Group, 1, t0, links);
    browse.finish();
    ASSERT_EQ(resolved().size(), 1u);
    EXPECT_THAT(resolved()[0].addresses, ElementsAre(address("fd00::1%3")));
}

}  // namespace
}  // namespace tq::dnssd
