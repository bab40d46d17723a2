// The mDNS message subset the querier and the responder speak: questions,
// and the PTR, SRV, TXT, A and AAAA records of answers, hostile input included.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <iterator>

#include "net/mdns_wire.hpp"

namespace tq::dnssd::wire {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Builds messages byte by byte, so tests can also build broken ones.
class Message {
public:
    Message& u8(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Message& u16(uint16_t v) { return u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v)); }
    Message& u32(uint32_t v) { return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v)); }
    Message& header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns = 0, uint16_t ar = 0) {
        return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
    }
    // Labels, then either the root or a pointer to `pointer`.
    Message& name(const Name& labels, std::optional<uint16_t> pointer = std::nullopt) {
        for (const auto& l : labels) {
            u8(static_cast<uint8_t>(l.size()));
            bytes.insert(bytes.end(), l.begin(), l.end());
        }
        return pointer ? u16(static_cast<uint16_t>(0xc000 | *pointer)) : u8(0);
    }
    Message& rr(uint16_t type, uint16_t klass, uint32_t ttl, const std::function<void(Message&)>& data) {
        u16(type).u16(klass).u32(ttl);
        const size_t length_at = bytes.size();
        u16(0);
        const size_t start = bytes.size();
        data(*this);
        const size_t size = bytes.size() - start;
        bytes[length_at] = static_cast<uint8_t>(size >> 8);
        bytes[length_at + 1] = static_cast<uint8_t>(size);
        return *this;
    }
    uint16_t here() const { return static_cast<uint16_t>(bytes.size()); }
    std::vector<uint8_t> bytes;
};

constexpr uint16_t kResponse = 0x8400;  // QR, authoritative
constexpr uint16_t kIn = 1;
constexpr uint16_t kCacheFlushIn = 0x8001;
const Name kService = {"_px-command-api", "_tcp", "local"};

ServiceAddress address(const char* text) {
    ServiceAddress a;
    ServiceAddress::parse(text, a);
    return a;
}

// A full answer as responders send it: the PTR, then SRV, A and AAAA, with
// names compressed against earlier ones.
Message full_answer(uint16_t id) {
    Message m;
    m.header(id, kResponse, 0, 4);
    const uint16_t service_at = m.here();
    m.name(kService);
    const uint16_t instance_at = static_cast<uint16_t>(m.here() + 10);  // after type..rdlength
    m.rr(kTypePtr, kIn, 4500, [&](Message& d) { d.name({"Bench 7"}, service_at); });
    m.name({}, instance_at);
    const uint16_t host_at = static_cast<uint16_t>(m.here() + 10 + 6);  // after priority, weight, port
    m.rr(kTypeSrv, kCacheFlushIn, 120, [&](Message& d) { d.u16(0).u16(0).u16(4000).name({"dev-1", "local"}); });
    m.name({}, host_at);
    m.rr(kTypeA, kCacheFlushIn, 120, [](Message& d) { d.u8(10).u8(77).u8(0).u8(2); });
    m.name({}, host_at);
    m.rr(kTypeAaaa, kCacheFlushIn, 120, [](Message& d) {
        d.u16(0xfd77);
        for (int i = 0; i < 6; ++i) d.u16(0);
        d.u16(2);
    });
    return m;
}

TEST(DnsWire, reads_ptr_srv_a_and_aaaa_through_compressed_names) {
    const Message m = full_answer(0x1234);
    const auto r = parse_response(m.bytes);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->id, 0x1234);
    ASSERT_EQ(r->ptrs.size(), 1u);
    EXPECT_EQ(r->ptrs[0].owner, kService);
    EXPECT_EQ(r->ptrs[0].target, (Name{"Bench 7", "_px-command-api", "_tcp", "local"}));
    ASSERT_EQ(r->srvs.size(), 1u);
    EXPECT_EQ(r->srvs[0].owner, r->ptrs[0].target);
    EXPECT_EQ(r->srvs[0].target, (Name{"dev-1", "local"}));
    EXPECT_EQ(r->srvs[0].port, 4000);
    ASSERT_EQ(r->addresses.size(), 2u);
    EXPECT_EQ(r->addresses[0].owner, (Name{"dev-1", "local"}));
    EXPECT_EQ(r->addresses[0].address, address("10.77.0.2"));
    EXPECT_EQ(r->addresses[1].address, address("fd77::2"));
}

TEST(DnsWire, tells_a_reply_its_sender_cut_short) {
    Message m = full_answer(1);
    EXPECT_FALSE(parse_response(m.bytes)->truncated);
    m.bytes[2] |= 0x02;  // TC
    EXPECT_TRUE(parse_response(m.bytes)->truncated);
}

TEST(DnsWire, skips_questions_and_reads_every_section) {
    Message m;
    m.header(1, kResponse, 1, 0, 0, 1);
    m.name(kService).u16(kTypePtr).u16(kIn);
    m.name({"h", "local"}).rr(kTypeA, kIn, 10, [](Message& d) { d.u8(1).u8(2).u8(3).u8(4); });
    const auto r = parse_response(m.bytes);
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->addresses.size(), 1u);
    EXPECT_EQ(r->addresses[0].address, address("1.2.3.4"));
}

struct Ignored {
    const char* what;
    std::function<void(Message&)> record;
};

class DnsWireIgnores : public ::testing::TestWithParam<Ignored> {};

TEST_P(DnsWireIgnores, records_it_does_not_use_without_failing) {
    Message m;
    m.header(1, kResponse, 0, 2);
    GetParam().record(m);
    m.name({"h", "local"}).rr(kTypeA, kIn, 10, [](Message& d) { d.u8(9).u8(9).u8(9).u8(9); });
    const auto r = parse_response(m.bytes);
    ASSERT_TRUE(r.has_value());
    EXPECT_THAT(r->ptrs, IsEmpty());
    EXPECT_THAT(r->srvs, IsEmpty());
    ASSERT_EQ(r->addresses.size(), 1u);  // the record after it is still read
    EXPECT_EQ(r->addresses[0].address, address("9.9.9.9"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DnsWireIgnores,
    ::testing::Values(Ignored{"other_class",
                              [](Message& m) {
                                  m.name(kService).rr(kTypePtr, 3, 10, [](Message& d) { d.name({"x"}); });
                              }},
                      Ignored{"txt", [](Message& m) { m.name(kService).rr(16, kIn, 10, [](Message& d) { d.u8(0); }); }},
                      Ignored{"a_of_wrong_size",
                              [](Message& m) {
                                  m.name({"h", "local"}).rr(kTypeA, kIn, 10, [](Message& d) { d.u8(1).u8(2); });
                              }}),
    [](const auto& info) { return std::string(info.param.what); });

struct Broken {
    const char* what;
    std::function<std::vector<uint8_t>()> build;
};

class DnsWireRejects : public ::testing::TestWithParam<Broken> {};

TEST_P(DnsWireRejects, malformed_or_non_response_messages) {
    EXPECT_FALSE(parse_response(GetParam().build()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DnsWireRejects,
    ::testing::Values(Broken{"empty", [] { return std::vector<uint8_t>{}; }},
                      Broken{"short_header",
                             [] {
                                 return std::vector<uint8_t>{0, 1, 0x84, 0};
                             }},
                      Broken{"a_query",
                             [] {
                                 Message m;
                                 m.header(1, 0, 1, 0).name(kService).u16(kTypePtr).u16(kIn);
                                 return m.bytes;
                             }},
                      Broken{"more_records_announced_than_present",
                             [] {
                                 Message m;
                                 m.header(1, kResponse, 0, 2).name({"h"}).rr(kTypeA, kIn, 1, [](Message& d) {
                                     d.u32(1);
                                 });
                                 return m.bytes;
                             }},
                      Broken{"data_length_past_the_end",
                             [] {
                                 Message m;
                                 m.header(1, kResponse, 0, 1).name({"h"}).u16(kTypeA).u16(kIn).u32(1).u16(40).u32(0);
                                 return m.bytes;
                             }},
                      Broken{"pointer_to_itself",
                             [] {
                                 Message m;
                                 m.header(1, kResponse, 0, 1);
                                 m.name({}, m.here()).rr(kTypeA, kIn, 1, [](Message& d) { d.u32(1); });
                                 return m.bytes;
                             }},
                      Broken{"pointer_forward",
                             [] {
                                 Message m;
                                 m.header(1, kResponse, 0, 1);
                                 m.name({}, static_cast<uint16_t>(m.here() + 2)).name({"h"});
                                 m.rr(kTypeA, kIn, 1, [](Message& d) { d.u32(1); });
                                 return m.bytes;
                             }},
                      Broken{"pointers_in_a_loop",
                             [] {
                                 Message m;
                                 m.header(1, kResponse, 0, 1);
                                 const uint16_t a = m.here();
                                 m.name({"x"}, static_cast<uint16_t>(a + 4));  // x -> next pointer -> back to x
                                 m.name({}, a).rr(kTypeA, kIn, 1, [](Message& d) { d.u32(1); });
                                 return m.bytes;
                             }},
                      Broken{"name_over_255_bytes",
                             [] {
                                 Message m;
                                 m.header(1, kResponse, 0, 1);
                                 m.name(Name(5, std::string(60, 'a'))).rr(kTypeA, kIn, 1, [](Message& d) { d.u32(1); });
                                 return m.bytes;
                             }},
                      Broken{"srv_target_running_past_its_data",
                             [] {
                                 Message m;
                                 m.header(1, kResponse, 0, 1).name({"s"});
                                 m.u16(kTypeSrv).u16(kIn).u32(1).u16(8).u16(0).u16(0).u16(1).name({"long-target"});
                                 return m.bytes;
                             }},
                      Broken{"reserved_label_type",
                             [] {
                                 Message m;
                                 m.header(1, kResponse, 0, 1).u8(0x40).u8(0).rr(kTypeA, kIn, 1, [](Message& d) {
                                     d.u32(1);
                                 });
                                 return m.bytes;
                             }}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(DnsWire, every_truncation_of_a_good_answer_is_rejected) {
    const auto whole = full_answer(7).bytes;
    for (size_t n = 0; n < whole.size(); ++n) {
        EXPECT_FALSE(parse_response(std::span(whole.data(), n))) << "cut at " << n;
    }
    EXPECT_TRUE(parse_response(whole));
}

// An A record whose owner is reached through `hops` pointers, each pointing
// at the one before it, down to "h" (the owner of a text record, whose data
// holds the chain and is never read as names).
std::vector<uint8_t> owner_behind_pointers(size_t hops) {
    Message m;
    m.header(1, kResponse, 0, 2);
    uint16_t previous = m.here();
    m.name({"h"}).rr(16, kIn, 1, [&](Message& d) {
        for (size_t i = 1; i < hops; ++i) {
            const uint16_t here = d.here();
            d.name({}, previous);
            previous = here;
        }
    });
    m.name({}, previous).rr(kTypeA, kIn, 1, [](Message& d) { d.u32(0x01020304); });
    return m.bytes;
}

struct Limit {
    size_t count;
    bool accepted;
};

class DnsWirePointerHops : public ::testing::TestWithParam<Limit> {};

TEST_P(DnsWirePointerHops, are_capped_per_name) {
    Work work;
    const auto r = parse_response(owner_behind_pointers(GetParam().count), &work);
    EXPECT_EQ(r.has_value(), GetParam().accepted);
    EXPECT_EQ(work.most_hops, std::min(GetParam().count, kMaxPointerHops));
    if (r) {
        EXPECT_EQ(r->addresses.at(0).owner, Name{"h"});
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DnsWirePointerHops,
                         ::testing::Values(Limit{1, true}, Limit{kMaxPointerHops, true},
                                           Limit{kMaxPointerHops + 1, false}));

class DnsWireEntries : public ::testing::TestWithParam<Limit> {};

TEST_P(DnsWireEntries, a_message_may_announce_at_most_the_entry_limit) {
    // Half questions, half records, all present.
    const size_t entries = GetParam().count;
    const auto questions = static_cast<uint16_t>(entries / 2);
    const auto records = static_cast<uint16_t>(entries - questions);
    Message m;
    m.header(1, kResponse, questions, records);
    for (uint16_t q = 0; q < questions; ++q) m.name({"h"}).u16(kTypeA).u16(kIn);
    for (uint16_t r = 0; r < records; ++r) m.name({"h"}).rr(kTypeA, kIn, 1, [](Message& d) { d.u32(1); });
    EXPECT_EQ(parse_response(m.bytes).has_value(), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Table, DnsWireEntries,
                         ::testing::Values(Limit{kMaxEntries, true}, Limit{kMaxEntries + 1, false}));

struct EchoCase {
    const char* what;
    std::function<std::vector<uint8_t>()> build;
    bool echoes;
};

class DnsWireEcho : public ::testing::TestWithParam<EchoCase> {};

TEST_P(DnsWireEcho, is_read_from_a_response_with_exactly_one_question) {
    const auto echo = echoed_question(GetParam().build());
    ASSERT_EQ(echo.has_value(), GetParam().echoes);
    if (echo) {
        EXPECT_EQ(echo->id, 0x4242);
        EXPECT_EQ(echo->name, kService);
        EXPECT_EQ(echo->type, kTypePtr);
    }
}

Message with_questions(uint16_t flags, uint16_t count) {
    Message m;
    m.header(0x4242, flags, count, 0);
    for (uint16_t q = 0; q < count; ++q) m.name(kService).u16(kTypePtr).u16(kIn);
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DnsWireEcho,
    ::testing::Values(EchoCase{"one_question", [] { return with_questions(kResponse, 1).bytes; }, true},
                      EchoCase{"records_after_it_unread",
                               [] {
                                   Message m = with_questions(kResponse, 1);
                                   m.bytes[7] = 1;  // one answer announced, none present
                                   return m.bytes;
                               },
                               true},
                      EchoCase{"a_query", [] { return with_questions(0, 1).bytes; }, false},
                      EchoCase{"no_question", [] { return with_questions(kResponse, 0).bytes; }, false},
                      EchoCase{"two_questions", [] { return with_questions(kResponse, 2).bytes; }, false},
                      EchoCase{"other_opcode", [] { return with_questions(kResponse | 0x2000, 1).bytes; }, false},
                      EchoCase{"question_cut_short",
                               [] {
                                   auto bytes = with_questions(kResponse, 1).bytes;
                                   bytes.pop_back();
                                   return bytes;
                               },
                               false}),
    [](const auto& info) { return std::string(info.param.what); });

// Replies captured from Avahi and python-zeroconf (the fuzzer's seeds, see
// fuzz/client/capture_seeds.py): the limits leave real responders alone.
struct Captured {
    const char* file;
    uint16_t asked;  // 0: a multicast announcement
};

class DnsWireCaptured : public ::testing::TestWithParam<Captured> {};

TEST_P(DnsWireCaptured, replies_of_real_responders_pass_every_check) {
    std::ifstream in(std::string(TQ_DNS_SEEDS_DIR) + "/" + GetParam().file, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_FALSE(bytes.empty()) << GetParam().file;
    const auto r = parse_response(bytes);
    ASSERT_TRUE(r.has_value());
    const auto echo = echoed_question(bytes);
    if (GetParam().asked == 0) {
        EXPECT_FALSE(echo.has_value());
        EXPECT_FALSE(r->ptrs.empty() || r->srvs.empty() || r->addresses.empty());
        return;
    }
    ASSERT_TRUE(echo.has_value());
    EXPECT_EQ(echo->id, 0x5eed);
    EXPECT_EQ(echo->type, GetParam().asked);
    const size_t answers = GetParam().asked == kTypePtr   ? r->ptrs.size()
                           : GetParam().asked == kTypeSrv ? r->srvs.size()
                                                          : r->addresses.size();
    EXPECT_GT(answers, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, DnsWireCaptured,
                         ::testing::Values(Captured{"avahi-ptr.bin", kTypePtr}, Captured{"avahi-srv.bin", kTypeSrv},
                                           Captured{"avahi-a.bin", kTypeA}, Captured{"avahi-announcement.bin", 0},
                                           Captured{"zeroconf-ptr.bin", kTypePtr},
                                           Captured{"zeroconf-srv.bin", kTypeSrv}, Captured{"zeroconf-a.bin", kTypeA},
                                           Captured{"zeroconf-announcement.bin", 0}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             std::replace_if(
                                 name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

TEST(DnsWire, encodes_a_question_with_its_id_type_and_unicast_response_bit) {
    const auto q = encode_question(0xbeef, {"ab", "local"}, kTypeSrv, true);
    EXPECT_THAT(q, ElementsAre(0xbe, 0xef, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0,    // header
                               2, 'a', 'b', 5, 'l', 'o', 'c', 'a', 'l', 0,  // name
                               0, 33, 0x80, 1));                            // SRV, IN with QU
    EXPECT_EQ(encode_question(1, {"ab"}, kTypePtr, false).back(), 1);
}

TEST(DnsWire, an_encoded_label_keeps_dots_and_spaces_as_they_are) {
    const auto q = encode_question(0, {"Bench 7.a"}, kTypeSrv, false);
    ASSERT_GT(q.size(), 13u);
    EXPECT_EQ(q[12], 9);
    EXPECT_EQ(std::string(q.begin() + 13, q.begin() + 22), "Bench 7.a");
}

struct Unencodable {
    const char* what;
    Name name;
};

class DnsWireRefuses : public ::testing::TestWithParam<Unencodable> {};

TEST_P(DnsWireRefuses, names_dns_cannot_carry) {
    EXPECT_THAT(encode_question(0, GetParam().name, 1, false), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Table, DnsWireRefuses,
                         ::testing::Values(Unencodable{"empty_label", {"a", "", "local"}},
                                           Unencodable{"label_of_64", {std::string(64, 'a'), "local"}},
                                           Unencodable{"name_over_255", Name(5, std::string(60, 'a'))}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(DnsWire, names_compare_without_regard_to_ascii_case) {
    EXPECT_TRUE(same_name({"Dev-1", "LOCAL"}, {"dev-1", "local"}));
    EXPECT_FALSE(same_name({"dev-1", "local"}, {"dev-2", "local"}));
    EXPECT_FALSE(same_name({"dev-1"}, {"dev-1", "local"}));
}

TEST(DnsWire, child_label_is_the_one_label_in_front_of_the_parent) {
    EXPECT_EQ(child_label({"Bench 7", "_PX-command-api", "_tcp", "local"}, kService), "Bench 7");
    EXPECT_EQ(child_label(kService, kService), std::nullopt);
    EXPECT_EQ(child_label({"a", "b", "_px-command-api", "_tcp", "local"}, kService), std::nullopt);
    EXPECT_EQ(child_label({"a", "_http", "_tcp", "local"}, kService), std::nullopt);
}

TEST(DnsWire, split_and_join_round_trip_dotted_names) {
    EXPECT_EQ(split_name("a.b.local."), (Name{"a", "b", "local"}));
    EXPECT_EQ(split_name("a.b.local"), (Name{"a", "b", "local"}));
    EXPECT_EQ(join_name(split_name("dev-1.local")), "dev-1.local");
    EXPECT_EQ(split_name("a..b"), (Name{"a", "", "b"}));
    EXPECT_THAT(split_name(""), IsEmpty());
}

TEST(DnsWire, a_goodbye_is_read_with_its_ttl_of_zero) {
    Message m;
    m.header(0, kResponse, 0, 1).name(kService).rr(kTypePtr, kIn, 0, [](Message& d) { d.name({"x"}); });
    const auto r = parse_response(m.bytes);
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->ptrs.size(), 1u);
    EXPECT_EQ(r->ptrs[0].ttl, 0u);
}

TEST(MessageWriter, writes_what_the_reader_reads_back_with_names_compressed) {
    const Name instance = {"dev 1", "_px-command-api", "_tcp", "local"};
    const Name host = {"h", "local"};
    MessageWriter out(7, true, 1400);
    ASSERT_TRUE(out.question(kService, kTypePtr));
    ASSERT_TRUE(out.ptr(MessageWriter::Section::Answer, kService, instance, 10));
    ASSERT_TRUE(out.srv(MessageWriter::Section::Additional, instance, host, 4000, 120, true));
    ASSERT_TRUE(out.empty_txt(MessageWriter::Section::Additional, instance, 120, true));
    ASSERT_TRUE(out.address(MessageWriter::Section::Additional, host, address("fd77::2"), 120, true));
    // The section order holds: no question after an answer.
    EXPECT_FALSE(out.question(kService, kTypeSrv));
    const auto echo = echoed_question(out.bytes());
    ASSERT_TRUE(echo.has_value());
    EXPECT_EQ(echo->id, 7);
    const auto r = parse_response(out.bytes());
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->ptrs.size(), 1u);
    EXPECT_EQ(r->ptrs[0].target, instance);
    EXPECT_EQ(r->ptrs[0].ttl, 10u);
    ASSERT_EQ(r->srvs.size(), 1u);
    EXPECT_EQ(r->srvs[0].target, host);
    EXPECT_EQ(r->srvs[0].port, 4000);
    ASSERT_EQ(r->addresses.size(), 1u);
    EXPECT_EQ(r->addresses[0].address, address("fd77::2"));
    // "_px-command-api._tcp.local" and "local" are written once, then
    // pointed at: 12 header, 32 question, 20 PTR, 22 SRV, 13 TXT, 28 AAAA.
    EXPECT_EQ(out.size(), 127u);
}

TEST(MessageWriter, refuses_an_entry_past_its_limit_and_keeps_the_message_whole) {
    MessageWriter out(0, true, 60);
    ASSERT_TRUE(out.ptr(MessageWriter::Section::Answer, kService, {"a", "_px-command-api", "_tcp", "local"}, 10));
    const auto before = out.bytes();
    EXPECT_FALSE(out.ptr(MessageWriter::Section::Answer, kService, {std::string(40, 'b'), "x", "local"}, 10));
    EXPECT_EQ(out.bytes(), before);
    EXPECT_TRUE(parse_response(out.bytes()).has_value());
}

TEST(DnsQuery, reads_questions_with_their_unicast_bit_and_known_answers) {
    MessageWriter out(9, false, 1400);
    ASSERT_TRUE(out.question(kService, kTypePtr, true));
    ASSERT_TRUE(out.ptr(MessageWriter::Section::Answer, kService, {"a", "_px-command-api", "_tcp", "local"}, 10));
    const auto q = parse_query(out.bytes());
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->id, 9);
    ASSERT_EQ(q->questions.size(), 1u);
    EXPECT_EQ(q->questions[0].name, kService);
    EXPECT_TRUE(q->questions[0].unicast_response);
    ASSERT_EQ(q->known_answers.size(), 1u);
    EXPECT_EQ(q->known_answers[0].target.front(), "a");
    // A response is not a query.
    EXPECT_FALSE(parse_query(full_answer(1).bytes).has_value());
}

}  // namespace
}  // namespace tq::dnssd::wire
