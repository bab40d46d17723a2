// The text forms plenko-tq reads and prints, address parsing, the nickname
// argument rules and the error sentences.
#include <gtest/gtest.h>
#include <net/if.h>

#include <cerrno>
#include <limits>

#include "cli/address.hpp"
#include "cli/cli.hpp"
#include "cli/format.hpp"

namespace tq::cli {
namespace {

using namespace std::chrono_literals;

struct EanCase {
    uint64_t ean;
    const char* text;
};

class FormatEan : public ::testing::TestWithParam<EanCase> {};

TEST_P(FormatEan, prints_digit_groups_with_minimum_widths_and_decimal_check_digit) {
    EXPECT_EQ(format_ean(GetParam().ean), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, FormatEan,
                         ::testing::Values(EanCase{0x7330130012345, "73-30130-01234-5"}, EanCase{0, "00-00000-00000-0"},
                                           EanCase{0x123, "00-00000-00012-3"},
                                           EanCase{0x4062138020019, "40-62138-02001-9"},
                                           EanCase{std::numeric_limits<uint64_t>::max(), "fff-fffff-fffff-15"}));

TEST(FormatUtc, prints_iso8601_in_utc) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1'700'000'000, "2023-11-14T22:13:20Z"},
        {951'782'400, "2000-02-29T00:00:00Z"},
        {4'102'444'799, "2099-12-31T23:59:59Z"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(format_utc(std::chrono::sys_seconds(std::chrono::seconds(seconds))), text) << seconds;
    }
}

TEST(FormatBytes, uses_binary_units_with_one_decimal_above_1023_bytes) {
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KiB"},
        {1536, "1.5 KiB"},
        {1u << 20, "1.0 MiB"},
        {5ull << 30, "5.0 GiB"},
        {3ull << 40, "3072.0 GiB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(format_bytes(bytes), text) << bytes;
}

TEST(FormatDuration, prints_minutes_and_seconds_and_hours_when_needed) {
    const std::pair<std::chrono::seconds, const char*> cases[] = {
        {0s, "0:00"}, {5s, "0:05"}, {754s, "12:34"}, {3723s, "1:02:03"}, {-3s, "0:00"},
    };
    for (const auto& [d, text] : cases) EXPECT_EQ(format_duration(d), text) << d.count();
}

template <class E>
void expect_every_member_parses_back() {
    const auto names = enum_names<E>();
    ASSERT_EQ(names.size(), EnumInfo<E>::members.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(parse_enum<E>(names[i]), static_cast<E>(i)) << names[i];
        std::string upper = names[i];
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(parse_enum<E>(upper), static_cast<E>(i)) << upper;
    }
}

TEST(ParseEnum, accepts_every_member_name_in_any_case) {
    expect_every_member_parses_back<EthLinkSpeed>();
    expect_every_member_parses_back<EthRole>();
    expect_every_member_parses_back<PgPayloadSize>();
    expect_every_member_parses_back<PgPayloadType>();
    expect_every_member_parses_back<PgPacketValidity>();
}

TEST(ParseEnum, rejects_prefixes_padding_and_empty_text) {
    EXPECT_EQ(parse_enum<EthLinkSpeed>("Speed1000Mbit"), std::nullopt);
    EXPECT_EQ(parse_enum<EthRole>("Leader "), std::nullopt);
    EXPECT_EQ(parse_enum<EthRole>(""), std::nullopt);
    EXPECT_EQ(parse_enum<EthRole>("LeaderPreferredX"), std::nullopt);
}

TEST(ParseOnOff, accepts_on_and_off_in_any_case_only) {
    EXPECT_EQ(parse_on_off("on"), true);
    EXPECT_EQ(parse_on_off("OFF"), false);
    EXPECT_EQ(parse_on_off("On"), true);
    EXPECT_EQ(parse_on_off("yes"), std::nullopt);
    EXPECT_EQ(parse_on_off("1"), std::nullopt);
    EXPECT_EQ(parse_on_off(""), std::nullopt);
}

TEST(RenderText, aligns_object_labels_and_spells_values_for_people) {
    const Json record = {{"name", "Bench"},      {"firmware_ean", "40-62138-02002-6"},
                         {"aneg", true},         {"enabled", false},
                         {"nickname", ""},       {"missing", nullptr},
                         {"count", 3},           {"speed", {"A", "B"}},
                         {"role", Json::array()}};
    EXPECT_EQ(render_text(record),
              "name:          Bench\n"
              "firmware ean:  40-62138-02002-6\n"
              "aneg:          on\n"
              "enabled:       off\n"
              "nickname:      -\n"
              "missing:       -\n"
              "count:         3\n"
              "speed:         A, B\n"
              "role:          -\n");
}

TEST(RenderText, prints_arrays_of_records_as_a_table_with_upper_case_headers) {
    const Json rows = Json::array(
        {{{"port", 0}, {"link", "Up"}, {"port_name", "left"}}, {{"port", 10}, {"link", "Down"}, {"port_name", ""}}});
    EXPECT_EQ(render_text(rows),
              "PORT  LINK  PORT NAME\n"
              "0     Up    left\n"
              "10    Down  -\n");
}

TEST(RenderText, prints_nothing_for_null_or_an_empty_table) {
    EXPECT_EQ(render_text(Json()), "");
    EXPECT_EQ(render_text(Json::array()), "");
}

TEST(TerminalSafe, escapes_every_control_character_and_keeps_other_text) {
    const std::pair<std::string, std::string> cases[] = {
        {"TQ Ethernet Interface", "TQ Ethernet Interface"},
        {"Prüfstand “A” \\ 東京", "Prüfstand “A” \\ 東京"},
        {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
        {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"del\x7f", "del\\x7f"},
        {"csi\xc2\x9b"
         "2J osc\xc2\x9d",
         "csi\\u{9b}2J osc\\u{9d}"},
        {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},
        {"bad\xff\xc3", "bad\\xff\\xc3"},
    };
    for (const auto& [text, safe] : cases) EXPECT_EQ(terminal_safe(text), safe) << text;
}

TEST(JsonText, is_the_plain_dump_for_normal_texts_and_escapes_del_and_c1) {
    const Json normal = {{"name", "Prüfstand \"A\" \\ 東京"}, {"serial", 7}, {"list", {1, 2}}};
    EXPECT_EQ(json_text(normal), normal.dump());
    EXPECT_EQ(json_text(normal, 2), normal.dump(2));

    const Json hostile = {{"name", "\x1b]0;x\x07 \x7f \xc2\x9b \xc2\x80"}};
    const std::string text = json_text(hostile);
    EXPECT_EQ(text, R"({"name":"\u001b]0;x\u0007 \u007f \u009b \u0080"})");
    EXPECT_EQ(Json::parse(text), hostile);
}

struct HostPortCase {
    const char* text;
    const char* host;  // nullptr: rejected
    uint16_t port;
};

class SplitHostPort : public ::testing::TestWithParam<HostPortCase> {};

TEST_P(SplitHostPort, separates_host_and_port_or_explains_the_mistake) {
    const auto& c = GetParam();
    const auto r = split_host_port(c.text);
    if (c.host == nullptr) {
        ASSERT_FALSE(r) << c.text;
        EXPECT_NE(r.error().find(c.text), std::string::npos) << r.error();
        return;
    }
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->host, c.host);
    EXPECT_EQ(r->port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitHostPort,
    ::testing::Values(HostPortCase{"127.0.0.1:5000", "127.0.0.1", 5000}, HostPortCase{"[::1]:80", "::1", 80},
                      HostPortCase{"[fe80::1%eth0]:1", "fe80::1%eth0", 1},
                      HostPortCase{"bench.local:65535", "bench.local", 65535}, HostPortCase{"127.0.0.1", nullptr, 0},
                      HostPortCase{"127.0.0.1:", nullptr, 0}, HostPortCase{"127.0.0.1:0", nullptr, 0},
                      HostPortCase{"127.0.0.1:65536", nullptr, 0}, HostPortCase{"127.0.0.1:80x", nullptr, 0},
                      HostPortCase{":80", nullptr, 0}, HostPortCase{"::1:80", nullptr, 0},
                      HostPortCase{"[::1]80", nullptr, 0}, HostPortCase{"[::1:80", nullptr, 0}));

TEST(ResolveAddress, takes_numeric_hosts_as_they_are) {
    const auto v4 = resolve_address("127.0.0.1:5000");
    ASSERT_TRUE(v4) << v4.error();
    ASSERT_EQ(v4->addresses.size(), 1u);
    EXPECT_EQ(v4->addresses[0].family, ServiceAddress::Family::V4);
    EXPECT_EQ(v4->addresses[0].to_string(), "127.0.0.1");
    EXPECT_EQ(v4->port, 5000);

    const auto v6 = resolve_address("[::1]:7");
    ASSERT_TRUE(v6) << v6.error();
    ASSERT_EQ(v6->addresses.size(), 1u);
    EXPECT_EQ(v6->addresses[0].family, ServiceAddress::Family::V6);
    EXPECT_EQ(v6->port, 7);
}

TEST(ResolveAddress, turns_an_interface_name_scope_into_its_index) {
    const auto r = resolve_address("[fe80::1%lo]:9");
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->addresses.size(), 1u);
    EXPECT_EQ(r->addresses[0].interface_index, if_nametoindex("lo"));

    const auto unknown = resolve_address("[fe80::1%tqnosuch0]:9");
    ASSERT_FALSE(unknown);
    EXPECT_NE(unknown.error().find("no network interface named 'tqnosuch0'"), std::string::npos) << unknown.error();
}

TEST(ResolveAddress, looks_up_host_names) {
    const auto r = resolve_address("localhost:8");
    ASSERT_TRUE(r) << r.error();
    ASSERT_FALSE(r->addresses.empty());
    for (const auto& a : r->addresses) {
        EXPECT_TRUE(a.to_string() == "127.0.0.1" || a.to_string() == "::1") << a.to_string();
    }
    EXPECT_EQ(r->port, 8);
}

struct NicknameCase {
    std::optional<std::string> first, second, name_option;
    bool reset;
    std::optional<uint32_t> port;
    std::optional<std::string> name;
};

class NicknameTargetRules : public ::testing::TestWithParam<NicknameCase> {};

TEST_P(NicknameTargetRules, a_lone_number_is_a_port_and_a_lone_word_a_device_name) {
    const auto& c = GetParam();
    const auto t = nickname_target(c.first, c.second, c.name_option, c.reset);
    EXPECT_EQ(t.port, c.port);
    EXPECT_EQ(t.name, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NicknameTargetRules,
    ::testing::Values(NicknameCase{{}, {}, {}, false, {}, {}}, NicknameCase{"2", {}, {}, false, 2u, {}},
                      NicknameCase{"Bench", {}, {}, false, {}, "Bench"},
                      NicknameCase{"1", "Left port", {}, false, 1u, "Left port"},
                      NicknameCase{{}, {}, "42", false, {}, "42"}, NicknameCase{"3", {}, "7", false, 3u, "7"},
                      NicknameCase{"3", {}, {}, true, 3u, {}}, NicknameCase{{}, {}, {}, true, {}, {}}));

TEST(NicknameTargetRules, refuses_contradicting_arguments_as_usage_errors) {
    const NicknameCase bad[] = {
        {"x", "name", {}, false, {}, {}},        // PORT not a number
        {"Bench", {}, "Other", false, {}, {}},   // two names
        {"1", "a", "b", false, {}, {}},          // two names for a port
        {"Bench", {}, {}, true, {}, {}},         // reset with a name
        {"99999999999", {}, {}, false, {}, {}},  // port out of range
    };
    for (const auto& c : bad) {
        try {
            nickname_target(c.first, c.second, c.name_option, c.reset);
            ADD_FAILURE() << "accepted " << c.first.value_or("") << " " << c.second.value_or("");
        } catch (const Failure& f) {
            EXPECT_EQ(f.code, kExitUsage) << f.what();
        }
    }
}

TEST(Describe, gives_every_error_kind_a_one_line_sentence) {
    for (size_t k = 0; k < Error::kKindCount; ++k) {
        const auto kind = static_cast<Error::Kind>(k);
        const std::string text = describe(Error(kind, "detail"));
        EXPECT_FALSE(text.empty()) << Error::kind_name(kind);
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        if (Error::kind_has_text(kind)) {
            EXPECT_NE(text.find("detail"), std::string::npos) << text;
        }
    }
}

TEST(Describe, keeps_the_errors_own_text_where_it_says_what_failed) {
    EXPECT_EQ(describe(Error(Error::Kind::TcpStreamReadError, "Failed to read packet header")),
              "no valid answer from the device: Failed to read packet header");
    EXPECT_EQ(describe(Error(Error::Kind::FileOpenError, "Failed to open file /x")), "Failed to open file /x");
    EXPECT_EQ(describe(Error(Error::Kind::RemoteOperationNotSupportedByInterface)),
              "the port does not support this operation");
    EXPECT_EQ(describe(Error(Error::Kind::NetworkError)), "the device cannot be reached");
}

TEST(Describe, says_why_a_connection_failed) {
    const std::pair<int, const char*> cases[] = {
        {ECONNREFUSED, "connection refused"}, {ETIMEDOUT, "connection timed out"}, {ENETUNREACH, "network unreachable"},
        {EHOSTUNREACH, "no route to host"},   {EPROTO, "protocol error"},  // any other: the system's text
    };
    for (const auto& [os_error, text] : cases) {
        EXPECT_EQ(describe(Error(Error::Kind::NetworkError).with_os_error(os_error)), text) << os_error;
    }
}

}  // namespace
}  // namespace tq::cli
