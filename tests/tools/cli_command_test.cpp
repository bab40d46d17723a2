// plenko-tq commands, run in-process against simulated devices on loopback
// (selected with --address; nothing here scans). Each case checks what the
// user sees and what the device received or now holds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>

#include "cli/cli.hpp"
#include "cli/format.hpp"
#include "cli_support.hpp"
#include "sim/device_model.hpp"

namespace tq::cli {
namespace {

using test::CliRun;
using test::run_in_process;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace mode = sim::mode;

constexpr uint16_t kGetEthMode = 27, kGetPacketGenerator = 93;

// Three ports: 1 has a nickname.
sim::DeviceModel bench_model() {
    sim::DeviceModel m;
    m.interfaces = {sim::PortModel{}, sim::PortModel{}, sim::PortModel{}};
    m.interfaces[1].nickname = "Left";
    return m;
}

class CliCommand : public ::testing::Test {
protected:
    void start(sim::DeviceModel model = bench_model()) {
        sim_ = std::make_unique<sim::Simulator>(std::vector<sim::DeviceModel>{std::move(model)});
        sim_->start();
    }
    CliRun cli(std::vector<std::string> args, bool terminal = false) {
        if (!sim_) start();
        args.insert(args.end(), {"--address", test::address_of(*sim_)});
        return run_in_process(args, terminal);
    }
    sim::DeviceModel model() {
        return sim_->with_device(0, [](const sim::DeviceModel& m) { return m; });
    }
    // Commands received after the handshake's three requests, over every
    // connection so far.
    std::vector<uint16_t> commands_after_handshake() {
        std::vector<uint16_t> all;
        for (const auto& r : sim_->requests(0)) all.push_back(r.command);
        return all.size() > 3 ? std::vector<uint16_t>(all.begin() + 3, all.end()) : std::vector<uint16_t>{};
    }

    std::unique_ptr<sim::Simulator> sim_;
};

void expect_success(const CliRun& r) {
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.err, "");
}

// ---------------------------------------------------------------------------
// Reading

struct ReadCase {
    std::vector<std::string> args;
    const char* out;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    for (const auto& a : c.args) *os << a << ' ';
}

class CliRead : public CliCommand, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(CliRead, prints_the_devices_answer_as_aligned_text) {
    const auto r = cli(GetParam().args);
    expect_success(r);
    EXPECT_EQ(r.out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliRead,
    ::testing::Values(
        ReadCase{{"ports"},
                 "PORT  TYPE  LINK  ROLE    SPEED                   NICKNAME\n"
                 "0     T1    Up    Leader  Speed100MbitFullDuplex  -\n"
                 "1     T1    Up    Leader  Speed100MbitFullDuplex  Left\n"
                 "2     T1    Up    Leader  Speed100MbitFullDuplex  -\n"},
        ReadCase{{"eth", "get", "0"}, "speed:  Speed100MbitFullDuplex\nrole:   Leader\naneg:   off\n"},
        ReadCase{{"eth", "supported", "1"},
                 "speed:  Speed100MbitFullDuplex, Speed1000MbitFullDuplex\nrole:   Leader, Follower\naneg:   on\n"},
        ReadCase{{"tc10", "state", "0"}, "state:  Normal\n"},
        ReadCase{{"dcq", "1"},
                 "sqi:             12\nsqi worst:       9\nmse:             250\nmse worst:       410\n"
                 "peak mse:        3\npeak mse worst:  7\n"},
        ReadCase{{"cable-test", "0"}, "harness status:     CableGood\ndistance to fault:  0\n"},
        ReadCase{{"loopback", "get", "2"}, "loopback:  off\n"},
        ReadCase{{"pg", "get", "0"},
                 "enabled:       off\npayload size:  Size64\npayload type:  PseudoRandom\nvalidity:      GoodCrc\n"
                 "burst size:    0\n"},
        ReadCase{{"nickname", "1"}, "nickname:  Left\n"}, ReadCase{{"nickname"}, "nickname:  -\n"},
        ReadCase{{"nickname", "1", "--json"}, "{\n  \"nickname\": \"Left\"\n}\n"}));

TEST_F(CliCommand, info_shows_identity_versions_and_the_formatted_eans) {
    auto m = bench_model();
    m.nickname = "Bench A";
    m.serial_number = 4242;
    start(m);
    const auto r = cli({"info"});
    expect_success(r);
    EXPECT_EQ(r.out,
              "name:              TQ Ethernet Interface\n"
              "nickname:          Bench A\n"
              "serial:            4242\n"
              "ean:               40-62138-02001-9\n"
              "firmware ean:      40-62138-02002-6\n"
              "firmware:          2.4.1\n"
              "bootloader:        1.0.3\n"
              "pcb revision:      B\n"
              "manufactured:      2023-11-14T22:13:20Z\n"
              "protocol version:  2\n"
              "ports:             3\n"
              "address:           " +
                  test::address_of(*sim_) + "\n");
}

TEST_F(CliCommand, texts_from_the_device_cannot_drive_the_terminal) {
    auto m = bench_model();
    m.name = "\x1b]0;owned\x07\x1b[2J";
    m.interfaces[1].nickname =
        "\xc2\x9b"
        "31m";
    start(m);
    const auto info = cli({"info"});
    expect_success(info);
    EXPECT_THAT(info.out, HasSubstr("name:              \\x1b]0;owned\\x07\\x1b[2J\n"));
    const auto ports = cli({"ports"});
    expect_success(ports);
    EXPECT_THAT(ports.out, HasSubstr("  \\u{9b}31m\n"));
    for (const auto* out : {&info.out, &ports.out}) {
        EXPECT_EQ(out->find('\x1b'), std::string::npos);
        EXPECT_EQ(out->find("\xc2\x9b"), std::string::npos);
    }
    const auto json = cli({"info", "--json"});
    EXPECT_EQ(Json::parse(json.out).at("name"), m.name);
}

TEST_F(CliCommand, info_json_is_one_object_with_typed_fields) {
    start();
    const auto r = cli({"info", "--json"});
    expect_success(r);
    const auto j = Json::parse(r.out);
    EXPECT_EQ(j.at("serial"), 1001);
    EXPECT_EQ(j.at("ean"), "40-62138-02001-9");
    EXPECT_EQ(j.at("manufactured"), "2023-11-14T22:13:20Z");
    EXPECT_EQ(j.at("protocol_version"), 2);
    EXPECT_EQ(j.at("ports"), 3);
    EXPECT_EQ(j.at("nickname"), "");
}

TEST_F(CliCommand, info_on_a_version_1_device_shows_no_nickname_instead_of_failing) {
    auto m = bench_model();
    m.protocol_version = 1;
    start(m);
    const auto text = cli({"info"});
    expect_success(text);
    EXPECT_THAT(text.out, HasSubstr("nickname:          -\n"));
    const auto json = cli({"info", "--json"});
    expect_success(json);
    EXPECT_TRUE(Json::parse(json.out).at("nickname").is_null());
    EXPECT_EQ(Json::parse(json.out).at("protocol_version"), 1);
}

TEST_F(CliCommand, ports_json_lists_every_port_with_its_status) {
    auto m = bench_model();
    m.interfaces[2].link_up = false;
    start(m);
    const auto r = cli({"ports", "--json"});
    expect_success(r);
    const auto j = Json::parse(r.out);
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[1].at("port"), 1);
    EXPECT_EQ(j[1].at("nickname"), "Left");
    EXPECT_EQ(j[2].at("link"), "Down");
    EXPECT_EQ(j[0].at("type"), "T1");
}

TEST_F(CliCommand, device_options_may_come_before_the_command) {
    start();
    const auto r = run_in_process({"--address", test::address_of(*sim_), "tc10", "state", "1"});
    expect_success(r);
    EXPECT_EQ(r.out, "state:  Normal\n");
}

TEST_F(CliCommand, trace_writes_the_commands_exchanges_to_a_pcapng_file) {
    const std::string path = ::testing::TempDir() + "cli-trace.pcapng";
    expect_success(cli({"--trace", path, "dcq", "0"}));
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x0a\x0d\x0d\x0a", 4));
    // The DCQ request for port 0, as sent.
    EXPECT_NE(bytes.find(std::string("\x53\x00\x02\x00\x00\x00", 6)), std::string::npos);
}

// ---------------------------------------------------------------------------
// Changing

struct ChangeCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(const sim::DeviceModel&)> check;
};

void PrintTo(const ChangeCase& c, std::ostream* os) {
    *os << c.name;
}

class CliChange : public CliCommand, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(CliChange, changes_the_device_and_prints_nothing) {
    const auto r = cli(GetParam().args);
    expect_success(r);
    EXPECT_EQ(r.out, "");
    GetParam().check(model());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliChange,
    ::testing::Values(
        ChangeCase{"eth_set_all_fields",
                   {"eth", "set", "1", "--speed", "Speed1000MbitFullDuplex", "--role", "follower", "--aneg", "on"},
                   [](const sim::DeviceModel& m) {
                       EXPECT_EQ(m.interfaces[1].eth_config,
                                 mode::k1000Mbit | mode::kFullDuplex | mode::kFollower | mode::kAneg);
                       EXPECT_EQ(m.interfaces[0].eth_config, mode::k100Mbit | mode::kFullDuplex | mode::kLeader);
                   }},
        ChangeCase{"eth_set_keeps_what_is_not_given",
                   {"eth", "set", "0", "--speed", "speed1000mbitfullduplex"},
                   [](const sim::DeviceModel& m) {
                       EXPECT_EQ(m.interfaces[0].eth_config, mode::k1000Mbit | mode::kFullDuplex | mode::kLeader);
                   }},
        ChangeCase{"eth_set_speed_list_by_commas",
                   {"eth", "set", "0", "--speed", "Speed100MbitFullDuplex,Speed1000MbitFullDuplex", "--aneg", "on"},
                   [](const sim::DeviceModel& m) {
                       EXPECT_EQ(m.interfaces[0].eth_config,
                                 mode::k100Mbit | mode::k1000Mbit | mode::kFullDuplex | mode::kLeader | mode::kAneg);
                   }},
        ChangeCase{"loopback_on",
                   {"loopback", "set", "2", "ON"},
                   [](const sim::DeviceModel& m) {
                       EXPECT_NE(m.interfaces[2].loopback, 0);
                       EXPECT_EQ(m.interfaces[1].loopback, 0);
                   }},
        ChangeCase{"tc10_sleep",
                   {"tc10", "sleep", "1"},
                   [](const sim::DeviceModel& m) { EXPECT_EQ(m.interfaces[1].tc10_state, 1); }},
        ChangeCase{"device_identify",
                   {"identify"},
                   [](const sim::DeviceModel& m) {
                       EXPECT_EQ(m.identify_count, 1u);
                       EXPECT_EQ(m.interfaces[0].identify_count, 0u);
                   }},
        ChangeCase{"port_identify",
                   {"identify", "2"},
                   [](const sim::DeviceModel& m) {
                       EXPECT_EQ(m.identify_count, 0u);
                       EXPECT_EQ(m.interfaces[2].identify_count, 1u);
                   }},
        ChangeCase{"device_nickname",
                   {"nickname", "Bench B"},
                   [](const sim::DeviceModel& m) { EXPECT_EQ(m.nickname, "Bench B"); }},
        ChangeCase{"device_nickname_that_looks_like_a_port",
                   {"nickname", "--name", "42"},
                   [](const sim::DeviceModel& m) {
                       EXPECT_EQ(m.nickname, "42");
                       EXPECT_EQ(m.interfaces[1].nickname, "Left");
                   }},
        ChangeCase{"port_nickname",
                   {"nickname", "0", "Right"},
                   [](const sim::DeviceModel& m) {
                       EXPECT_EQ(m.interfaces[0].nickname, "Right");
                       EXPECT_EQ(m.nickname, "");
                   }},
        ChangeCase{"port_nickname_reset",
                   {"nickname", "1", "--reset"},
                   [](const sim::DeviceModel& m) { EXPECT_EQ(m.interfaces[1].nickname, ""); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliCommand, eth_set_with_every_field_given_reads_nothing_first) {
    start();
    expect_success(cli({"eth", "set", "0", "--speed", "Speed1000MbitFullDuplex", "--role", "Leader", "--aneg", "off"}));
    EXPECT_THAT(commands_after_handshake(), ::testing::Not(::testing::Contains(kGetEthMode)));
    expect_success(cli({"eth", "set", "0", "--role", "Follower"}));
    EXPECT_THAT(commands_after_handshake(), ::testing::Contains(kGetEthMode));
}

TEST_F(CliCommand, tc10_wakeup_after_sleep_returns_to_normal) {
    start();
    expect_success(cli({"tc10", "sleep", "0"}));
    EXPECT_EQ(cli({"tc10", "state", "0"}).out, "state:  Sleep\n");
    expect_success(cli({"tc10", "wakeup", "0"}));
    EXPECT_EQ(cli({"tc10", "state", "0"}).out, "state:  Normal\n");
}

TEST_F(CliCommand, pg_set_on_stores_every_setting_and_off_switches_it_off) {
    start();
    expect_success(cli({"pg", "set", "1", "on", "--size", "Size1518", "--type", "OnlyZeroes", "--validity",
                        "SymbolErrorsBadCrc", "--burst", "9"}));
    EXPECT_THAT(commands_after_handshake(), ::testing::Not(::testing::Contains(kGetPacketGenerator)));
    const auto on = cli({"pg", "get", "1", "--json"});
    expect_success(on);
    EXPECT_EQ(Json::parse(on.out), Json({{"enabled", true},
                                         {"payload_size", "Size1518"},
                                         {"payload_type", "OnlyZeroes"},
                                         {"validity", "SymbolErrorsBadCrc"},
                                         {"burst_size", 9}}));

    // Only the burst changes; the rest stays as the port has it.
    expect_success(cli({"pg", "set", "1", "on", "--burst", "0"}));
    const auto burst = Json::parse(cli({"pg", "get", "1", "--json"}).out);
    EXPECT_EQ(burst.at("payload_type"), "OnlyZeroes");
    EXPECT_EQ(burst.at("burst_size"), 0);

    expect_success(cli({"pg", "set", "1", "off"}));
    EXPECT_EQ(Json::parse(cli({"pg", "get", "1", "--json"}).out).at("enabled"), false);
}

TEST_F(CliCommand, nickname_reset_empties_the_device_nickname) {
    auto m = bench_model();
    m.nickname = "Old";
    start(m);
    expect_success(cli({"nickname", "--reset"}));
    EXPECT_EQ(model().nickname, "");
}

// ---------------------------------------------------------------------------
// Firmware update

std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::vector<uint8_t> image(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

TEST_F(CliCommand, flash_sends_the_file_and_reports_progress_in_plain_lines) {
    start();
    const auto bytes = image(40000);
    const auto r = cli({"flash", write_file("cli_flash.bin", bytes)});
    expect_success(r);
    EXPECT_EQ(model().firmware.last_image, bytes);
    const auto out = test::lines(r.out);
    ASSERT_GE(out.size(), 4u) << r.out;
    EXPECT_EQ(out.front(), "update started: 40000 bytes");
    EXPECT_THAT(out[out.size() - 3], StartsWith("sent 40000 of 40000 bytes (100%)"));
    EXPECT_THAT(out[out.size() - 2], StartsWith("finalizing:"));
    EXPECT_EQ(out.back(), "update finished: Success");
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST_F(CliCommand, flash_on_a_terminal_draws_a_bar_in_place) {
    start();
    const auto r = cli({"flash", write_file("cli_flash_tty.bin", image(9000))}, true);
    expect_success(r);
    EXPECT_THAT(r.out, StartsWith("\r["));
    EXPECT_THAT(r.out, HasSubstr("] 100%  8.8 KiB / 8.8 KiB"));
    EXPECT_THAT(r.out, HasSubstr("\nupdate finished: Success\n"));
    EXPECT_THAT(r.out, ::testing::Not(HasSubstr("sent ")));
}

TEST_F(CliCommand, flash_rejected_by_the_device_fails_after_showing_the_result) {
    auto m = bench_model();
    m.finalize_status = 3;
    start(m);
    const auto r = cli({"flash", write_file("cli_flash_bad.bin", image(100))});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err, "plenko-tq: the device reports that the operation failed\n");
    EXPECT_TRUE(r.out.ends_with("update finished: UnknownError\n")) << r.out;
}

TEST_F(CliCommand, flash_refused_at_the_start_prints_only_the_error) {
    auto m = bench_model();
    m.chunk_size = 0;
    start(m);
    const auto r = cli({"flash", write_file("cli_flash_zero.bin", image(100))}, true);
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "plenko-tq: protocol error: Device is requesting a chunk size of 0, which doesn't work\n");
}

// ---------------------------------------------------------------------------
// Failing: one line on stderr, nothing on stdout, the exit status by cause.

struct FailCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(sim::DeviceModel&)> setup;
    int status;
    const char* err;  // the whole of stderr
    bool contacts_device = true;
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

class CliFail : public CliCommand, public ::testing::WithParamInterface<FailCase> {};

TEST_P(CliFail, prints_one_error_line_and_exits_non_zero) {
    const auto& c = GetParam();
    auto m = bench_model();
    if (c.setup) c.setup(m);
    start(m);
    const auto r = cli(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    if (!c.contacts_device) {
        EXPECT_EQ(sim_->connections_accepted(0), 0u) << "refused before connecting";
    }
}

void no_setup(sim::DeviceModel&) {}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliFail,
    ::testing::Values(
        FailCase{"port_out_of_range",
                 {"dcq", "5"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: port 5 does not exist; the device has 3 ports (0 to 2)\n"},
        FailCase{"device_without_ports",
                 {"loopback", "get", "0"},
                 [](sim::DeviceModel& m) { m.interfaces.clear(); },
                 kExitUsage,
                 "plenko-tq: port 0 does not exist; the device has 0 ports\n"},
        FailCase{"command_missing_in_protocol_version_1",
                 {"dcq", "0"},
                 [](sim::DeviceModel& m) { m.protocol_version = 1; },
                 kExitFailed,
                 "plenko-tq: the device's firmware (protocol version 1) does not support this; updating the "
                 "firmware should help\n"},
        FailCase{"value_the_tool_does_not_know",
                 {"cable-test", "0"},
                 [](sim::DeviceModel& m) { m.interfaces[0].cable_harness = 3; },
                 kExitFailed,
                 "plenko-tq: the device answered with a value this tool does not know\n"},
        FailCase{"device_refuses",
                 {"identify"},
                 [](sim::DeviceModel& m) { m.faults[7] = sim::Fault{.status = 3}; },
                 kExitFailed,
                 "plenko-tq: the device reports that the operation failed\n"},
        FailCase{"eth_set_without_changes",
                 {"eth", "set", "0"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: give at least one of --speed, --role, --aneg\n",
                 false},
        FailCase{"unknown_speed",
                 {"eth", "set", "0", "--speed", "fast"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: --speed: fast not in {Speed10MbitFullDuplex,Speed10MbitHalfDuplex,"
                 "Speed100MbitFullDuplex,Speed100MbitHalfDuplex,Speed1000MbitFullDuplex,Speed1000MbitHalfDuplex} "
                 "(see 'plenko-tq eth set --help')\n",
                 false},
        FailCase{"empty_item_in_a_list",
                 {"eth", "set", "0", "--speed", ",,"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: --speed: an empty value is not allowed (see 'plenko-tq eth set --help')\n",
                 false},
        FailCase{"negative_serial",
                 {"info", "--serial", "-1"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: --serial: must be a serial number (decimal digits, at most 18446744073709551615), not "
                 "'-1' (see 'plenko-tq info --help')\n",
                 false},
        FailCase{"nickname_longer_than_a_reply_carries",
                 {"nickname", "--name", std::string(128, 'x')},
                 no_setup,
                 kExitFailed,
                 "plenko-tq: A nickname may be at most 127 bytes long in UTF-8 (a device answers with no more); this "
                 "one has 128\n"},
        FailCase{"pg_settings_with_off",
                 {"pg", "set", "0", "off", "--burst", "3"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: --size, --type, --validity and --burst go with 'on'\n",
                 false},
        FailCase{"burst_out_of_range",
                 {"pg", "set", "0", "on", "--burst", "256"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: --burst: Value 256 not in range 0 to 255 (see 'plenko-tq pg set --help')\n",
                 false},
        FailCase{"loopback_state_not_on_or_off",
                 {"loopback", "set", "0", "yes"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: STATE: yes not in {on,off} (see 'plenko-tq loopback set --help')\n",
                 false},
        FailCase{"missing_port",
                 {"dcq"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: PORT is required (see 'plenko-tq dcq --help')\n",
                 false},
        FailCase{"missing_firmware_file",
                 {"flash", "/nonexistent/tq.img"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: FILE: File does not exist: /nonexistent/tq.img (see 'plenko-tq flash --help')\n",
                 false},
        FailCase{"nickname_twice",
                 {"nickname", "A", "--name", "B"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: give the new nickname either as NAME or with --name, not both\n",
                 false},
        FailCase{"address_and_serial_together",
                 {"info", "--serial", "1001"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: give either --address or --serial, not both\n",
                 false},
        FailCase{"one_device_command_on_two_devices",
                 {"dcq", "0", "--address", "127.0.0.1:9"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: 'dcq' works on one device; give one --serial or --address\n",
                 false},
        FailCase{"all_and_address_together",
                 {"info", "--all"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: give --all without --serial or --address\n",
                 false},
        FailCase{"unknown_command",
                 {"eth", "put", "0"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: unknown command 'put' for 'plenko-tq eth' (commands: get, set, supported)\n",
                 false},
        FailCase{"unknown_option",
                 {"dcq", "0", "--frob"},
                 no_setup,
                 kExitUsage,
                 "plenko-tq: unknown option '--frob' (see 'plenko-tq dcq --help')\n",
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliCommand, an_address_nobody_listens_on_fails_naming_it) {
    start();
    const std::string address = test::address_of(*sim_);
    sim_->stop();
    const auto r = run_in_process({"info", "--address", address});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err, "plenko-tq: cannot connect to " + address + ": connection refused\n");
}

TEST_F(CliCommand, a_malformed_address_is_a_usage_error) {
    const auto r = run_in_process({"info", "--address", "127.0.0.1"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(r.err, "plenko-tq: invalid address '127.0.0.1': expected HOST:PORT\n");
}

// ---------------------------------------------------------------------------
// Help

TEST(CliHelp, offers_exactly_the_documented_commands) {
    EXPECT_EQ(command_paths(),
              (std::vector<std::string>{"scan", "info", "ports", "eth get", "eth set", "eth supported", "tc10 state",
                                        "tc10 sleep", "tc10 wakeup", "dcq", "cable-test", "loopback get",
                                        "loopback set", "pg get", "pg set", "identify", "nickname", "flash",
                                        "wireshark"}));
}

TEST(CliHelp, every_command_and_group_answers_help_on_stdout) {
    std::vector<std::string> paths = command_paths();
    paths.insert(paths.end(), {"eth", "tc10", "loopback", "pg", ""});
    for (const auto& path : paths) {
        std::vector<std::string> args;
        std::istringstream words(path);
        for (std::string w; words >> w;) args.push_back(w);
        args.push_back("--help");
        const auto r = run_in_process(args);
        EXPECT_EQ(r.status, kExitOk) << path;
        EXPECT_EQ(r.err, "") << path;
        EXPECT_THAT(r.out, HasSubstr("Usage: plenko-tq" + (path.empty() ? "" : " " + path))) << path;
    }
}

TEST(CliHelp, device_commands_document_how_the_device_is_chosen) {
    const auto r = run_in_process({"dcq", "--help"});
    EXPECT_THAT(r.out, HasSubstr("--address HOST:PORT"));
    EXPECT_THAT(r.out, HasSubstr("--serial N"));
    EXPECT_THAT(r.out, HasSubstr("--timeout MS"));
    EXPECT_THAT(r.out, HasSubstr("PORT UINT REQUIRED"));
}

TEST(CliHelp, version_prints_the_project_version) {
    const auto r = run_in_process({"--version"});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "plenko-tq 0.2.1\n");
}

}  // namespace
}  // namespace tq::cli
