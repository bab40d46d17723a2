#include "cli/cli.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/address.hpp"
#include "cli/fleet.hpp"
#include "cli/format.hpp"
#include "cli/interrupt.hpp"
#include "cli/progress.hpp"
#include "cli/select.hpp"
#include "client/client.hpp"
#include "client/device.hpp"
#include "client/firmware_image.hpp"
#include "client/trace.hpp"
#include "net/platform.hpp"
#include "wireshark/dissector.hpp"

#ifndef PLENKO_TQ_VERSION
#define PLENKO_TQ_VERSION "unknown"
#endif

namespace tq::cli {

namespace {

constexpr unsigned kDefaultScanMs = 1000;

// ---------------------------------------------------------------------------
// Client errors as sentences, one row per Error::Kind in its order.
// `with_text` appends the error's own text, which says what exactly failed.

struct ErrorWording {
    Error::Kind kind;
    std::string_view sentence;
    bool with_text;
};

constexpr ErrorWording kErrorWording[] = {
    {Error::Kind::ApiError, "protocol error", true},
    {Error::Kind::ApiNotAvailableInProtocolVersion,
     "the device's firmware does not support this; updating the firmware should help", false},
    {Error::Kind::ClientSoftwareTooOldForDevice, "the device's firmware is newer than this tool supports", false},
    {Error::Kind::ConnectionError, "connection failed", true},
    {Error::Kind::DeviceDiscoveryError, "device discovery failed", true},
    {Error::Kind::FailedToAquireLock, "the connection to the device is unusable after an earlier failure", false},
    {Error::Kind::FileOpenError, "", true},
    {Error::Kind::FileReadError, "", true},
    {Error::Kind::NetworkError, "the device cannot be reached", false},
    {Error::Kind::NotImplemented, "the device answered with a value this tool does not know", false},
    {Error::Kind::RemoteOperationFailed, "the device reports that the operation failed", false},
    {Error::Kind::RemoteOperationNotPermitted, "the device does not permit this operation", false},
    {Error::Kind::RemoteOperationNotSupportedByDevice, "the device does not support this operation", false},
    {Error::Kind::RemoteOperationNotSupportedByInterface, "the port does not support this operation", false},
    {Error::Kind::TcpStreamWriteError, "sending to the device failed", true},
    {Error::Kind::TcpStreamReadError, "no valid answer from the device", true},
    {Error::Kind::Utf8Error, "", true},
};

constexpr bool wording_indexed_by_kind() {
    if (std::size(kErrorWording) != Error::kKindCount) return false;
    for (size_t i = 0; i < std::size(kErrorWording); ++i) {
        if (static_cast<size_t>(kErrorWording[i].kind) != i) return false;
    }
    return true;
}
static_assert(wording_indexed_by_kind(), "kErrorWording must list every Error::Kind in declaration order");

// Why a connection failed, for the errors a user meets and can act on; others
// take the system's own text.
// The system's numbers (errno, Winsock's), so not constexpr.
const std::pair<int, std::string_view> kConnectFailures[] = {
    {os::err::kConnectionRefused, "connection refused"},
    {os::err::kTimedOut, "connection timed out"},
    {os::err::kNetworkUnreachable, "network unreachable"},
    {os::err::kHostUnreachable, "no route to host"},
    {os::err::kHostDown, "host is down"},
    {os::err::kConnectionReset, "connection reset"},
    {os::err::kAddressNotAvailable, "address not available"},
    {os::err::kAccessDenied, "connection not permitted"},
    {os::err::kNotPermitted, "connection not permitted"},
};

std::string connect_failure_text(int os_error) {
    for (const auto& [error, sentence] : kConnectFailures) {
        if (error == os_error) return std::string(sentence);
    }
    std::string text = os::error_text(os_error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// ---------------------------------------------------------------------------
// Everything a command line can carry. Only one command runs per invocation,
// so all commands share one record.

struct Args {
    std::vector<uint64_t> serials;
    std::vector<std::string> addresses;
    bool all = false;
    unsigned timeout_ms = kDefaultScanMs;
    bool json = false;
    std::optional<uint32_t> port;
    std::string state;  // on|off
    std::vector<std::string> speeds, roles;
    std::optional<std::string> aneg;
    std::optional<std::string> pg_size, pg_type, pg_validity;
    std::optional<unsigned> burst;
    std::optional<std::string> word1, word2, name;
    bool reset = false;
    std::string file;
    std::string trace;               // --trace FILE
    std::optional<std::string> install;  // wireshark --install [DIR]; "" for the default folder
};

Failure usage(const std::string& message) {
    return Failure(message, kExitUsage);
}

DeviceIdentity identity(const Device& d) {
    return {d.get_ean(), d.get_serial_number(), d.address().to_string()};
}

// --address as typed: a usage error for a malformed one, a failure naming the
// address when nothing answers there.
Device connect_address(const std::string& text) {
    if (auto syntax = split_host_port(text); !syntax) throw usage(syntax.error());
    auto service = resolve_address(text);
    if (!service) throw Failure(service.error());
    auto connected = Device::connect(*service);
    if (!connected) throw Failure("cannot connect to " + text + ": " + describe(connected.error()));
    return std::move(*connected);
}

class Session {
public:
    Session(const Args& args, const Io& io) : args(args), io(io) {}
    // A session on one device of a fleet.
    Session(const Args& args, const Io& io, const Device& device) : args(args), io(io), device_(device) {}

    const Args& args;
    const Io& io;

    template <class T>
    T take(Result<T> result) const {
        if (!result) fail(result.error());
        return std::move(*result);
    }
    void take(Result<void> result) const {
        if (!result) fail(result.error());
    }
    // A value the device's protocol version may lack: null then.
    template <class T>
    std::optional<T> take_if_available(Result<T> result) const {
        if (!result && result.error().kind() == Error::Kind::ApiNotAvailableInProtocolVersion) return std::nullopt;
        return take(std::move(result));
    }

    [[noreturn]] void fail(const Error& error) const {
        std::string message = describe(error);
        if (error.kind() == Error::Kind::ApiNotAvailableInProtocolVersion && device_) {
            message = "the device's firmware (protocol version " + std::to_string(device_->protocol_version()) +
                      ") does not support this; updating the firmware should help";
        }
        throw Failure(message);
    }

    std::vector<Device> scan(unsigned wait_ms) const {
        return take(Client{}.scan_for_devices_with_timeout(std::chrono::milliseconds(wait_ms)));
    }

    const Device& device() {
        if (!device_) {
            auto selected = devices();
            device_.emplace(std::move(selected.front()));
        }
        return *device_;
    }

    // Every device the options select, each once, in the order given.
    std::vector<Device> devices() const {
        std::vector<Device> selected;
        if (!args.addresses.empty()) {
            std::vector<std::string> addresses;
            for (const auto& a : args.addresses) {
                if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
            }
            for (const auto& a : addresses) {
                if (auto syntax = split_host_port(a); !syntax) throw usage(syntax.error());
            }
            // Concurrently: each unreachable address may take a connect timeout.
            std::vector<std::optional<Device>> connected(addresses.size());
            std::vector<std::string> failures(addresses.size());
            run_bounded(addresses.size(), kMaxConcurrentDevices, [&](size_t i) {
                try {
                    connected[i].emplace(connect_address(addresses[i]));
                } catch (const std::exception& e) {
                    failures[i] = e.what();
                }
            });
            std::string failed;
            for (const auto& f : failures) {
                if (!f.empty()) failed += (failed.empty() ? "" : "; ") + f;
            }
            if (!failed.empty()) throw Failure(failed);
            for (auto& d : connected) selected.push_back(std::move(*d));
        } else {
            auto found = scan(args.timeout_ms);
            std::vector<DeviceIdentity> ids;
            ids.reserve(found.size());
            for (const auto& d : found) ids.push_back(identity(d));
            for (const size_t i : pick_scanned(ids, args.serials, args.all, args.timeout_ms)) {
                selected.push_back(std::move(found[i]));
            }
        }
        std::vector<DeviceIdentity> ids;
        ids.reserve(selected.size());
        for (const auto& d : selected) ids.push_back(identity(d));
        require_distinct(ids);
        return selected;
    }

    Interface port() { return port(*args.port); }
    Interface port(uint32_t n) {
        const auto& d = device();
        auto interfaces = take(d.get_interfaces());
        if (n >= interfaces.size()) {
            throw usage("port " + std::to_string(n) + " does not exist; the device has " +
                        std::to_string(interfaces.size()) + " ports" +
                        (interfaces.empty() ? "" : " (0 to " + std::to_string(interfaces.size() - 1) + ")"));
        }
        return interfaces[n];
    }

private:
    std::optional<Device> device_;
};

template <class E>
E enum_arg(const std::string& text, std::string_view what) {
    if (auto v = parse_enum<E>(text)) return *v;
    throw usage("unknown " + std::string(what) + " '" + text + "'");
}

bool on_off_arg(const std::string& text) {
    if (auto v = parse_on_off(text)) return *v;
    throw usage("expected on or off, not '" + text + "'");
}

// ---------------------------------------------------------------------------
// Result records. Keys are the JSON names; the text form derives its labels.

Json eth_config_json(const EthInterfaceConfig& c) {
    return {{"speed", enum_list(c.speed)},
            {"role", enum_list(c.role)},
            {"aneg", c.aneg_mode == EthAnegMode::IEEEAnegEnabled}};
}

Json pg_json(const PacketGeneratorConfig& c) {
    return {{"enabled", c.enabled},
            {"payload_size", enum_text(c.payload_size)},
            {"payload_type", enum_text(c.payload_type)},
            {"validity", enum_text(c.validity)},
            {"burst_size", c.burst_size}};
}

template <class T>
Json or_null(const std::optional<T>& v) {
    return v ? Json(*v) : Json();
}

// ---------------------------------------------------------------------------
// Commands

Json cmd_scan(Session& s) {
    Json rows = Json::array();
    for (const auto& d : s.scan(s.args.timeout_ms)) {
        // A device that stops answering after the scan still gets its row.
        auto name = d.get_name();
        auto firmware = d.get_firmware_version();
        rows.push_back({{"ean", format_ean(d.get_ean())},
                        {"serial", d.get_serial_number()},
                        {"name", name ? Json(*name) : Json()},
                        {"firmware", firmware ? Json(*firmware) : Json()},
                        {"address", d.address().to_string()}});
    }
    if (rows.empty() && !s.args.json) s.io.err << "no devices found\n";
    return rows;
}

Json cmd_info(Session& s) {
    const auto& d = s.device();
    return {{"name", s.take(d.get_name())},
            {"nickname", or_null(s.take_if_available(d.get_nickname()))},
            {"serial", d.get_serial_number()},
            {"ean", format_ean(d.get_ean())},
            {"firmware_ean", format_ean(s.take(d.get_firmware_ean()))},
            {"firmware", s.take(d.get_firmware_version())},
            {"bootloader", s.take(d.get_bootloader_version())},
            {"pcb_revision", s.take(d.get_pcb_revision())},
            {"manufactured", format_utc(s.take(d.get_manufacturing_date()))},
            {"protocol_version", d.protocol_version()},
            {"ports", s.take(d.get_interfaces()).size()},
            {"address", d.address().to_string()}};
}

Json cmd_ports(Session& s) {
    Json rows = Json::array();
    for (const auto& iface : s.take(s.device().get_interfaces())) {
        const auto status = s.take(iface.get_status());
        const auto& eth = status.eth_interface_status;
        rows.push_back({{"port", iface.index()},
                        {"type", enum_text(status.interface_type)},
                        {"link", enum_text(eth.link_state)},
                        {"role", enum_text(eth.role)},
                        {"speed", enum_text(eth.speed)},
                        {"nickname", s.take(iface.get_nickname())}});
    }
    return rows;
}

Json cmd_eth_get(Session& s) {
    return eth_config_json(s.take(s.port().get_eth_config()));
}

Json cmd_eth_supported(Session& s) {
    return eth_config_json(s.take(s.port().get_supported_eth_configs()));
}

Json cmd_eth_set(Session& s) {
    const auto& a = s.args;
    if (a.speeds.empty() && a.roles.empty() && !a.aneg) throw usage("give at least one of --speed, --role, --aneg");
    std::vector<EthLinkSpeed> speeds;
    for (const auto& t : a.speeds) speeds.push_back(enum_arg<EthLinkSpeed>(t, "speed"));
    std::vector<EthRole> roles;
    for (const auto& t : a.roles) roles.push_back(enum_arg<EthRole>(t, "role"));
    const auto port = s.port();
    // What the command line leaves out stays as the port has it.
    EthInterfaceConfig config;
    if (speeds.empty() || roles.empty() || !a.aneg) config = s.take(port.get_eth_config());
    if (!speeds.empty()) config.speed = speeds;
    if (!roles.empty()) config.role = roles;
    if (a.aneg) config.aneg_mode = on_off_arg(*a.aneg) ? EthAnegMode::IEEEAnegEnabled : EthAnegMode::AnegDisabled;
    s.take(port.set_eth_config(config));
    return nullptr;
}

Json cmd_tc10_state(Session& s) {
    return {{"state", enum_text(s.take(s.port().get_tc10_state()))}};
}

Json cmd_tc10_sleep(Session& s) {
    s.take(s.port().send_tc10_command(Tc10Command::Sleep));
    return nullptr;
}

Json cmd_tc10_wakeup(Session& s) {
    s.take(s.port().send_tc10_command(Tc10Command::WakeUp));
    return nullptr;
}

Json cmd_dcq(Session& s) {
    const auto r = s.take(s.port().read_dcq());
    return {{"sqi", r.sqi},           {"sqi_worst", r.sqi_worst},          {"mse", r.mse}, {"mse_worst", r.mse_worst},
            {"peak_mse", r.peak_mse}, {"peak_mse_worst", r.peak_mse_worst}};
}

Json cmd_cable_test(Session& s) {
    const auto r = s.take(s.port().run_cable_test());
    return {{"harness_status", enum_text(r.harness_status)}, {"distance_to_fault", r.distance_to_fault}};
}

Json cmd_loopback_get(Session& s) {
    return {{"loopback", s.take(s.port().get_loopback_state())}};
}

Json cmd_loopback_set(Session& s) {
    const bool on = on_off_arg(s.args.state);
    s.take(s.port().set_loopback_state(on));
    return nullptr;
}

Json cmd_pg_get(Session& s) {
    return pg_json(s.take(s.port().get_packet_generator_config()));
}

Json cmd_pg_set(Session& s) {
    const auto& a = s.args;
    const bool on = on_off_arg(a.state);
    const bool has_settings = a.pg_size || a.pg_type || a.pg_validity || a.burst;
    if (!on && has_settings) throw usage("--size, --type, --validity and --burst go with 'on'");
    PacketGeneratorConfig config;
    std::optional<PgPayloadSize> size;
    std::optional<PgPayloadType> type;
    std::optional<PgPacketValidity> validity;
    if (a.pg_size) size = enum_arg<PgPayloadSize>(*a.pg_size, "payload size");
    if (a.pg_type) type = enum_arg<PgPayloadType>(*a.pg_type, "payload type");
    if (a.pg_validity) validity = enum_arg<PgPacketValidity>(*a.pg_validity, "validity");
    const auto port = s.port();
    // Settings not given stay as the port has them (the defaults when it is off).
    if (on && !(size && type && validity && a.burst)) config = s.take(port.get_packet_generator_config());
    config.enabled = on;
    if (size) config.payload_size = *size;
    if (type) config.payload_type = *type;
    if (validity) config.validity = *validity;
    if (a.burst) config.burst_size = static_cast<uint8_t>(*a.burst);
    s.take(port.set_packet_generator_config(config));
    return nullptr;
}

Json cmd_identify(Session& s) {
    if (s.args.port) {
        s.take(s.port().identify());
    } else {
        s.take(s.device().identify());
    }
    return nullptr;
}

Json cmd_nickname(Session& s) {
    const auto& a = s.args;
    const auto target = nickname_target(a.word1, a.word2, a.name, a.reset);
    if (target.port) {
        const auto iface = s.port(*target.port);
        if (a.reset) {
            s.take(iface.reset_nickname());
        } else if (target.name) {
            s.take(iface.set_nickname(*target.name));
        } else {
            return {{"nickname", s.take(iface.get_nickname())}};
        }
        return nullptr;
    }
    const auto& d = s.device();
    if (a.reset) {
        s.take(d.reset_nickname());
    } else if (target.name) {
        s.take(d.set_nickname(*target.name));
    } else {
        return {{"nickname", s.take(d.get_nickname())}};
    }
    return nullptr;
}

bool stopped_by_interrupt(const Result<void>& result) {
    return !result && interrupt_requested() && result.error().kind() == Error::Kind::ApiError &&
           result.error().text() == kFirmwareUpdateStoppedText;
}

Json cmd_flash(Session& s) {
    const auto& d = s.device();
    FlashProgress progress(s.io.out, s.io.out_is_terminal);
    const InterruptGuard guard;
    auto result = d.update_firmware_from_path(s.args.file, progress);
    progress.abandon();
    if (stopped_by_interrupt(result)) {
        throw Failure("interrupted: the update stopped between chunks; the device was not asked to finalize",
                      kExitInterrupted);
    }
    s.take(std::move(result));
    return nullptr;
}

// Where Wireshark looks for the Lua plugins of one user.
std::filesystem::path personal_lua_plugins() {
    const char* variable = os::kWindows ? "APPDATA" : "HOME";
    const char* base = std::getenv(variable);
    if (base == nullptr || *base == '\0') {
        throw Failure(std::string(variable) + " is not set: give the folder as --install DIR");
    }
    if constexpr (os::kWindows) return std::filesystem::path(base) / "Wireshark" / "plugins";
    return std::filesystem::path(base) / ".local" / "lib" / "wireshark" / "plugins";
}

Json cmd_wireshark(Session& s) {
    const std::string lua = wireshark::dissector_lua();
    if (!s.args.install) {
        s.io.out << lua;
        return nullptr;
    }
    const std::filesystem::path dir =
        s.args.install->empty() ? personal_lua_plugins() : std::filesystem::path(*s.args.install);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const auto path = dir / wireshark::kFileName;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << lua;
    file.close();
    if (ec || !file) throw Failure("cannot write " + path.string());
    s.io.out << "installed " << path.string() << "\n";
    return nullptr;
}

// flash on several devices: one read of the image, the updates side by side,
// then the summary. Only a device that finished its update counts as done.
int flash_several(const std::vector<Device>& devices, const Args& args, const Io& io) {
    auto image = read_firmware_file(args.file);
    if (!image) throw Failure(describe(image.error()));
    std::vector<std::string> labels;
    labels.reserve(devices.size());
    for (const auto& d : devices) labels.push_back(device_label(identity(d)));

    FleetFlashResult result;
    {
        const InterruptGuard guard;
        result = flash_fleet(devices, labels, image->bytes(), io.out, io.err, io.out_is_terminal);
    }
    io.out << "\n" << render_flash_summary(result.rows) << std::flush;
    if (result.all_done()) return kExitOk;
    const auto not_done = std::count_if(result.rows.begin(), result.rows.end(),
                                        [](const FlashRow& r) { return r.state != FlashState::Done; });
    io.err << "plenko-tq: " << not_done << " of " << result.rows.size() << " devices not updated" << std::endl;
    return result.interrupted ? kExitInterrupted : kExitFailed;
}

// ---------------------------------------------------------------------------
// The command table. A path of two words is a command inside a group.

enum Takes : unsigned {
    kDevice = 1u << 0,        // --serial / --address / --timeout select the device
    kPort = 1u << 1,          // PORT
    kOptionalPort = 1u << 2,  // [PORT]
    kState = 1u << 3,         // on|off
    kJson = 1u << 4,          // --json
    kEthOptions = 1u << 5,    // --speed --role --aneg
    kPgOptions = 1u << 6,     // --size --type --validity --burst
    kNicknameArgs = 1u << 7,  // [PORT] [NAME] --name --reset
    kFile = 1u << 8,          // FILE
    kScanWait = 1u << 9,      // --timeout only
    kFleet = 1u << 10,        // several devices at once: repeated --serial / --address, --all
    kInstall = 1u << 11,      // --install [DIR]
};

struct Command {
    std::string_view path;
    std::string_view summary;
    unsigned takes;
    Json (*run)(Session&);
};

constexpr Command kCommands[] = {
    {"scan", "List the devices on the local network (DNS-SD)", kScanWait | kJson, cmd_scan},
    {"info", "Show the device's identity and versions", kDevice | kFleet | kJson, cmd_info},
    {"ports", "Show the status of every port", kDevice | kFleet | kJson, cmd_ports},
    {"eth get", "Show the port's Ethernet configuration", kDevice | kPort | kJson, cmd_eth_get},
    {"eth set", "Change the port's Ethernet configuration (what is not given stays)", kDevice | kPort | kEthOptions,
     cmd_eth_set},
    {"eth supported", "Show the Ethernet configurations the port supports", kDevice | kPort | kJson, cmd_eth_supported},
    {"tc10 state", "Show the port's TC10 state", kDevice | kPort | kJson, cmd_tc10_state},
    {"tc10 sleep", "Send the TC10 sleep command", kDevice | kPort, cmd_tc10_sleep},
    {"tc10 wakeup", "Send the TC10 wake-up command", kDevice | kPort, cmd_tc10_wakeup},
    {"dcq", "Read the port's Dynamic Channel Quality", kDevice | kPort | kJson, cmd_dcq},
    {"cable-test", "Run a cable test on the port", kDevice | kPort | kJson, cmd_cable_test},
    {"loopback get", "Show whether the port loops back", kDevice | kPort | kJson, cmd_loopback_get},
    {"loopback set", "Switch the port's loopback on or off", kDevice | kPort | kState, cmd_loopback_set},
    {"pg get", "Show the port's packet generator configuration", kDevice | kPort | kJson, cmd_pg_get},
    {"pg set", "Switch the port's packet generator on (with settings) or off", kDevice | kPort | kState | kPgOptions,
     cmd_pg_set},
    {"identify", "Flash the device's LEDs, or the LED of PORT", kDevice | kFleet | kOptionalPort, cmd_identify},
    {"nickname", "Show, set or reset the nickname of the device or of PORT", kDevice | kNicknameArgs | kJson,
     cmd_nickname},
    {"flash", "Update the device's firmware from FILE", kDevice | kFleet | kFile, cmd_flash},
    {"wireshark", "Print the Wireshark dissector of the device protocol, or --install it", kInstall, cmd_wireshark},
};

constexpr std::pair<std::string_view, std::string_view> kGroups[] = {
    {"eth", "Ethernet configuration of a port"},
    {"tc10", "OPEN Alliance TC10 sleep and wake-up of a port"},
    {"loopback", "Loopback of a port"},
    {"pg", "Packet generator of a port"},
};

std::string_view group_summary(std::string_view name) {
    for (const auto& [group, summary] : kGroups) {
        if (group == name) return summary;
    }
    return {};
}

template <class E>
CLI::IsMember enum_choices() {
    return CLI::IsMember(enum_names<E>(), CLI::ignore_case);
}

bool all_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// An empty value (`--speed ""`, or the gap in `--speed a,,b`) is a slip,
// never a choice: a usage error naming the option.
const CLI::Validator kNotEmpty(
    [](const std::string& v) { return v.empty() ? std::string("an empty value is not allowed") : std::string(); }, "",
    "NOT_EMPTY");

// Digits only, and no more than 64 bits hold: a conversion alone would wrap
// "-1" into 18446744073709551615.
const CLI::Validator kSerialNumber(
    [](const std::string& v) {
        uint64_t n = 0;
        const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
        if (all_digits(v) && ec == std::errc{} && end == v.data() + v.size()) return std::string();
        return "must be a serial number (decimal digits, at most 18446744073709551615), not '" + v + "'";
    },
    "", "SERIAL");

// One value per occurrence (so `--serial 5 2` leaves 2 to PORT), every
// occurrence kept.
template <class T>
CLI::Option* add_repeated(CLI::App& app, const std::string& name, std::vector<T>& into, const std::string& help) {
    return app
        .add_option_function<std::vector<T>>(
            name, [&into](const std::vector<T>& v) { into.insert(into.end(), v.begin(), v.end()); }, help)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

std::vector<std::string> split_commas(const std::string& text) {
    std::vector<std::string> items;
    for (size_t from = 0;;) {
        const size_t comma = std::min(text.find(',', from), text.size());
        items.push_back(text.substr(from, comma - from));
        if (comma == text.size()) return items;
        from = comma + 1;
    }
}

// A list separated by commas, the option also repeatable. Split here rather
// than by the parser, which drops empty items (`a,,b`) unseen and, when
// nothing is left (`,,`), takes the next word as the value. Every item is
// checked by `item` (which may give it its canonical spelling); an empty one
// is a usage error.
CLI::Option* add_list(CLI::App& app, const std::string& name, std::vector<std::string>& into, CLI::Validator item,
                      const std::string& help) {
    const CLI::Validator items(
        [item](std::string& value) mutable {
            std::string checked;
            for (std::string one : split_commas(value)) {
                if (std::string why = one.empty() ? kNotEmpty(one) : item(one); !why.empty()) return why;
                checked += (checked.empty() ? "" : ",") + one;
            }
            value = checked;
            return std::string();
        },
        "", "LIST");
    return app
        .add_option_function<std::vector<std::string>>(
            name,
            [&into](const std::vector<std::string>& values) {
                for (const auto& v : values) {
                    for (auto& one : split_commas(v)) into.push_back(std::move(one));
                }
            },
            help)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(items);
}

void add_device_selection(CLI::App& app, Args& args, bool several) {
    const std::string repeat = several ? "; repeat for several devices" : "";
    add_repeated(app, "--serial", args.serials, "Select the device with this serial number (found by a scan)" + repeat)
        ->type_name("N")
        ->check(kSerialNumber);
    add_repeated(app, "--address", args.addresses,
                 "Connect to the device at HOST:PORT directly, without a scan ([ADDRESS]:PORT for IPv6)" + repeat)
        ->type_name("HOST:PORT");
    if (several) {
        app.add_flag_function(
            "--all", [&args](int64_t) { args.all = true; }, "Every device a scan finds");
    }
}

void add_scan_wait(CLI::App& app, Args& args) {
    app.add_option("--timeout", args.timeout_ms, "How long a scan browses, in milliseconds")
        ->type_name("MS")
        ->check(CLI::Range(0u, 600000u))
        ->capture_default_str();
}

void add_arguments(CLI::App& leaf, unsigned takes, Args& args) {
    const auto port_help = "Port number as 'ports' lists it (the first is 0)";
    if (takes & kDevice) {
        add_device_selection(leaf, args, (takes & kFleet) != 0);
        add_scan_wait(leaf, args);
    }
    if (takes & kScanWait) add_scan_wait(leaf, args);
    if (takes & (kPort | kOptionalPort)) {
        auto* port = leaf.add_option_function<uint32_t>(
            "PORT", [&args](const uint32_t& v) { args.port = v; }, port_help);
        if (takes & kPort) port->required();
    }
    if (takes & kState) {
        leaf.add_option("STATE", args.state, "on or off")
            ->required()
            ->check(CLI::IsMember({"on", "off"}, CLI::ignore_case));
    }
    if (takes & kJson) leaf.add_flag("--json", args.json, "Print JSON instead of text");
    if (takes & kEthOptions) {
        add_list(leaf, "--speed", args.speeds, enum_choices<EthLinkSpeed>(),
                 "Link speed with duplex (repeat or separate by commas)");
        add_list(leaf, "--role", args.roles, enum_choices<EthRole>(),
                 "Leader/follower role (repeat or separate by commas)");
        leaf.add_option_function<std::string>(
                "--aneg", [&args](const std::string& v) { args.aneg = v; }, "Auto-negotiation")
            ->check(kNotEmpty)
            ->check(CLI::IsMember({"on", "off"}, CLI::ignore_case));
    }
    if (takes & kPgOptions) {
        leaf.add_option_function<std::string>(
                "--size", [&args](const std::string& v) { args.pg_size = v; }, "Payload size")
            ->check(kNotEmpty)
            ->check(enum_choices<PgPayloadSize>());
        leaf.add_option_function<std::string>(
                "--type", [&args](const std::string& v) { args.pg_type = v; }, "Payload type")
            ->check(kNotEmpty)
            ->check(enum_choices<PgPayloadType>());
        leaf.add_option_function<std::string>(
                "--validity", [&args](const std::string& v) { args.pg_validity = v; }, "Packet validity")
            ->check(kNotEmpty)
            ->check(enum_choices<PgPacketValidity>());
        leaf.add_option_function<unsigned>(
                "--burst", [&args](const unsigned& v) { args.burst = v; }, "Packets per burst, 0 for continuous")
            ->type_name("N")
            ->check(CLI::Range(0u, 255u));
    }
    if (takes & kNicknameArgs) {
        leaf.add_option_function<std::string>(
            "PORT", [&args](const std::string& v) { args.word1 = v; }, port_help);
        leaf.add_option_function<std::string>(
            "NAME", [&args](const std::string& v) { args.word2 = v; }, "New nickname");
        auto* name = leaf.add_option_function<std::string>(
            "--name", [&args](const std::string& v) { args.name = v; },
            "New nickname (also one that looks like a port number)");
        name->check(kNotEmpty);
        leaf.add_flag("--reset", args.reset, "Reset the nickname to empty")->excludes(name);
    }
    if (takes & kFile) {
        leaf.add_option("FILE", args.file, "Firmware image")->required()->check(kNotEmpty)->check(CLI::ExistingFile);
    }
    if (takes & kInstall) {
        leaf.add_option("--install", args.install,
                        "Write it into DIR, by default Wireshark's personal Lua plugins folder")
            ->type_name("[DIR]")
            ->expected(0, 1)
            ->default_str("");
    }
}

uint32_t port_number(const std::string& text) {
    uint32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (!all_digits(text) || ec != std::errc{} || end != text.data() + text.size()) {
        throw usage("PORT must be a port number, not '" + text + "'");
    }
    return v;
}

// The command the user got as far as, e.g. "plenko-tq eth set".
const CLI::App* deepest_command(const CLI::App& app) {
    const CLI::App* at = &app;
    for (;;) {
        const auto selected = at->get_subcommands();
        if (selected.empty()) return at;
        at = selected.front();
    }
}

std::string parse_error_text(const CLI::App& app, const CLI::ParseError& e) {
    const CLI::App* at = deepest_command(app);
    std::string path = at->get_name();
    for (const CLI::App* a = at->get_parent(); a != nullptr; a = a->get_parent()) {
        path.insert(0, 1, ' ');
        path.insert(0, a->get_name());
    }
    // A word that names no command is left over instead of being reported as
    // such; say so rather than "a subcommand is required".
    const auto left = at->remaining();
    if (!left.empty() && left.front().starts_with('-')) {
        return "unknown option '" + left.front() + "' (see '" + path + " --help')";
    }
    if (!left.empty() && !at->get_subcommands({}).empty()) {
        std::string names;
        for (const auto* sub : at->get_subcommands({})) names += (names.empty() ? "" : ", ") + sub->get_name();
        return "unknown command '" + left.front() + "' for '" + path + "' (commands: " + names + ")";
    }
    return std::string(e.what()) + " (see '" + path + " --help')";
}

// The selection options against each other and against the command, before
// anything touches the network. True when the command is to run on several
// devices: --all, or more than one --serial or --address as typed (so the
// output form follows the command line, not how many devices answered).
bool several_devices(const Command& command, const Args& args) {
    if ((command.takes & kDevice) == 0) return false;
    if (!args.addresses.empty() && !args.serials.empty()) throw usage("give either --address or --serial, not both");
    if (args.all && (!args.addresses.empty() || !args.serials.empty())) {
        throw usage("give --all without --serial or --address");
    }
    const bool several = args.all || args.addresses.size() + args.serials.size() > 1;
    if (several && (command.takes & kFleet) == 0) {
        throw usage("'" + std::string(command.path) + "' works on one device; give one --serial or --address");
    }
    return several;
}

// info, ports, identify on several devices, side by side. Results come in the
// order the devices were selected: with --json one object per device per line
// (a list result such as ports under the command's name, next to the device's
// identity; a device that failed as its identity and "error"); as text, the
// records one after another, tables as one table with a DEVICE column. A
// device that fails does not stop the others; its error line follows the
// results.
int run_on_several(const Command& command, const Args& args, const Io& io) {
    const auto devices = Session(args, io).devices();
    if (command.run == cmd_flash) return flash_several(devices, args, io);

    const size_t n = devices.size();
    std::vector<Json> results(n);
    std::vector<std::optional<Failure>> failures(n);
    run_bounded(n, kMaxConcurrentDevices, [&](size_t i) {
        try {
            Session session(args, io, devices[i]);
            results[i] = command.run(session);
        } catch (const Failure& f) {
            failures[i] = f;
        } catch (const std::exception& e) {
            failures[i] = Failure(e.what());
        }
    });

    int status = kExitOk;
    std::string records;
    Json table = Json::array();
    std::string errors;
    for (size_t i = 0; i < n; ++i) {
        const auto id = identity(devices[i]);
        const Json who = {{"ean", format_ean(id.ean)}, {"serial", id.serial}, {"address", id.address}};
        if (failures[i]) {
            status = std::max(status, failures[i]->code);
            errors += "plenko-tq: " + terminal_safe(device_label(id) + ": " + failures[i]->what()) + "\n";
            if (args.json) {
                Json line = who;
                line["error"] = failures[i]->what();
                io.out << json_text(line) << "\n";
            }
            continue;
        }
        const Json& r = results[i];
        if (r.is_null()) continue;
        if (args.json) {
            Json line = r;
            if (!r.is_object()) {
                line = who;
                line[std::string(command.path)] = r;
            }
            io.out << json_text(line) << "\n";
        } else if (r.is_array()) {
            for (const auto& row : r) {
                Json labelled = {{"device", device_label(id)}};
                labelled.update(row);
                table.push_back(std::move(labelled));
            }
        } else {
            records += (records.empty() ? "" : "\n") + render_text(r);
        }
    }
    io.out << records << render_text(table) << std::flush;
    io.err << errors;
    return status;
}

}  // namespace

std::string describe(const Error& error) {
    // Says what the variant's own text cannot (why nothing was sent, why a
    // file is not read).
    if (!error.detail().empty()) return error.detail();
    if (error.kind() == Error::Kind::NetworkError && error.os_error() != 0) {
        return connect_failure_text(error.os_error());
    }
    const auto& wording = kErrorWording[static_cast<size_t>(error.kind())];
    std::string text(wording.sentence);
    if (wording.with_text && !error.text().empty()) {
        if (!text.empty()) text += ": ";
        text += error.text();
    }
    if (text.empty()) text = error.debug_text();
    return text;
}

NicknameTarget nickname_target(const std::optional<std::string>& first, const std::optional<std::string>& second,
                               const std::optional<std::string>& name_option, bool reset) {
    NicknameTarget target;
    if (first && second) {
        target.port = port_number(*first);
        target.name = *second;
    } else if (first) {
        if (all_digits(*first)) {
            target.port = port_number(*first);
        } else {
            target.name = *first;
        }
    }
    if (name_option) {
        if (target.name) throw usage("give the new nickname either as NAME or with --name, not both");
        target.name = name_option;
    }
    if (reset && target.name) throw usage("--reset takes no new nickname");
    return target;
}

std::vector<std::string> command_paths() {
    std::vector<std::string> paths;
    for (const auto& command : kCommands) paths.emplace_back(command.path);
    return paths;
}

int run(int argc, const char* const* argv, const Io& io) {
    Args args;
    CLI::App app{"Finds and controls network-attached automotive-Ethernet interface devices.", "plenko-tq"};
    app.set_version_flag("--version", "plenko-tq " PLENKO_TQ_VERSION);
    app.require_subcommand(1);
    app.footer(
        "A device command selects its device with --address, with --serial, or, when neither is given,\n"
        "takes the only device a scan finds. info, ports, identify and flash also work on several devices:\n"
        "repeat --address or --serial, or give --all. Run 'plenko-tq COMMAND --help' for a command's arguments.\n");
    add_device_selection(app, args, true);
    app.add_option("--trace", args.trace,
                   "Write every exchange with the devices to FILE (pcapng, for Wireshark; see 'plenko-tq wireshark')")
        ->type_name("FILE")
        ->check(kNotEmpty);

    std::map<std::string_view, CLI::App*> groups;
    std::vector<CLI::App*> leaves;
    for (const auto& command : kCommands) {
        CLI::App* parent = &app;
        std::string_view name = command.path;
        if (const auto space = name.find(' '); space != std::string_view::npos) {
            const auto group = name.substr(0, space);
            auto& g = groups[group];
            if (g == nullptr) {
                g = app.add_subcommand(std::string(group), std::string(group_summary(group)));
                g->footer("");
                g->require_subcommand(1);
            }
            parent = g;
            name = name.substr(space + 1);
        }
        CLI::App* leaf = parent->add_subcommand(std::string(name), std::string(command.summary));
        leaf->footer((command.takes & kFleet) ? "Without --address, --serial or --all, the only device a scan finds is "
                                                "used.\nRepeat --address or --serial, or give --all, for several "
                                                "devices at once.\n"
                     : (command.takes & kDevice)
                         ? "Without --address or --serial, the only device a scan finds is used.\n"
                         : "");
        add_arguments(*leaf, command.takes, args);
        leaves.push_back(leaf);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e, io.out, io.err);
        io.err << "plenko-tq: " << parse_error_text(app, e) << "\n";
        return kExitUsage;
    }

    struct TraceScope {
        ~TraceScope() {
            if (on) trace::stop();
        }
        bool on = false;
    } traced;
    if (!args.trace.empty()) {
        if (auto started = trace::start(args.trace); !started) {
            io.err << "plenko-tq: cannot write the trace " << terminal_safe(args.trace) << ": "
                   << std::strerror(started.error()) << "\n";
            return kExitFailed;
        }
        traced.on = true;
    }
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (!leaves[i]->parsed()) continue;
        try {
            if (several_devices(kCommands[i], args)) return run_on_several(kCommands[i], args, io);
            Session session(args, io);
            const Json result = kCommands[i].run(session);
            if (result.is_null()) {
                // Commands that change something print nothing when they succeed.
            } else if (args.json) {
                io.out << json_text(result, 2) << "\n";
            } else {
                io.out << render_text(result);
            }
            io.out.flush();
            return kExitOk;
        } catch (const Failure& failure) {
            io.out.flush();
            io.err << "plenko-tq: " << terminal_safe(failure.what()) << "\n";
            return failure.code;
        }
    }
    return kExitUsage;  // unreachable: a leaf is required
}

}  // namespace tq::cli
