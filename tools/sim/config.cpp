#include "sim/config.hpp"

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "protocol/commands.hpp"

namespace tq::sim {
namespace {

using nlohmann::json;

// Reads the keys of one object, refusing any it does not know.
class Fields {
public:
    Fields(const json& j, std::string what) : j_(j), what_(std::move(what)) {
        if (!j.is_object()) throw ConfigError(what_ + ": expected an object");
    }
    // Call after the last read: refuses any key nothing asked for.
    void done() const {
        for (auto it = j_.begin(); it != j_.end(); ++it) {
            if (seen_.count(it.key()) == 0) throw ConfigError(what_ + ": unknown key \"" + it.key() + "\"");
        }
    }

    template <class T>
    void get(const char* key, T& out) {
        seen_.insert(key);
        if (!j_.contains(key)) return;
        try {
            out = j_.at(key).get<T>();
        } catch (const json::exception& e) {
            throw ConfigError(what_ + "." + key + ": " + e.what());
        }
    }
    void ean(const char* key, uint64_t& out) {
        seen_.insert(key);
        if (!j_.contains(key)) return;
        const json& v = j_.at(key);
        if (v.is_string()) {
            out = ean_from_digits(v.get<std::string>());
        } else if (v.is_number_unsigned()) {
            out = v.get<uint64_t>();
        } else {
            throw ConfigError(what_ + "." + key + ": expected digits as a string or a number");
        }
    }
    const json* child(const char* key) {
        seen_.insert(key);
        return j_.contains(key) ? &j_.at(key) : nullptr;
    }

private:
    const json& j_;
    std::string what_;
    std::set<std::string> seen_;
};

Fault parse_fault(const json& j, const std::string& what, uint16_t& command) {
    Fields f(j, what);
    Fault fault;
    if (const json* v = f.child("command"))
        command = v->is_string() ? parse_command(v->get<std::string>()) : v->get<uint16_t>();
    int64_t delay = 0;
    f.get("delay_ms", delay);
    fault.delay = std::chrono::milliseconds(delay);
    f.get("close", fault.close);
    if (const json* v = f.child("partial")) fault.partial = v->get<size_t>();
    if (const json* v = f.child("raw")) fault.raw = parse_hex(v->get<std::string>());
    if (const json* v = f.child("oversize")) fault.oversize = v->get<uint16_t>();
    if (const json* v = f.child("error_status")) fault.error_status = v->get<uint16_t>();
    if (const json* v = f.child("status")) fault.status = v->get<uint16_t>();
    f.get("wrong_code", fault.wrong_code);
    if (const json* v = f.child("garbage")) fault.garbage = v->get<size_t>();
    int64_t split = 0;
    f.get("split_ms", split);
    fault.split = std::chrono::milliseconds(split);
    int64_t trickle = 0;
    f.get("trickle_ms", trickle);
    fault.trickle = std::chrono::milliseconds(trickle);
    f.get("times", fault.times);
    f.done();
    return fault;
}

PortModel parse_port(const json& j, const std::string& what) {
    PortModel p;
    Fields f(j, what);
    f.get("type", p.type);
    f.get("nickname", p.nickname);
    f.get("link_up", p.link_up);
    f.get("eth_config", p.eth_config);
    f.get("supported", p.supported);
    f.get("tc10_supported", p.tc10_supported);
    f.get("tc10_state", p.tc10_state);
    if (const json* d = f.child("dcq")) {
        Fields q(*d, what + ".dcq");
        q.get("sqi", p.dcq8[0]);
        q.get("sqi_worst", p.dcq8[1]);
        q.get("peak_mse", p.dcq8[2]);
        q.get("peak_mse_worst", p.dcq8[3]);
        q.get("mse", p.dcq16[0]);
        q.get("mse_worst", p.dcq16[1]);
        q.done();
    }
    if (const json* c = f.child("cable_test")) {
        Fields q(*c, what + ".cable_test");
        q.get("harness_status", p.cable_harness);
        q.get("distance", p.cable_distance);
        q.done();
    }
    f.get("loopback", p.loopback);
    f.get("packet_generator", p.packet_generator);
    f.done();
    return p;
}

DeviceModel parse_device(const json& j, const std::string& what) {
    DeviceModel d;
    Fields f(j, what);
    f.get("name", d.name);
    f.get("nickname", d.nickname);
    f.get("firmware_version", d.firmware_version);
    f.get("bootloader_version", d.bootloader_version);
    f.get("pcb_revision", d.pcb_revision);
    f.ean("ean", d.ean);
    f.ean("firmware_ean", d.firmware_ean);
    f.ean("feature_ean", d.feature_ean);
    f.get("serial_number", d.serial_number);
    f.get("manufacturing_date", d.manufacturing_date);
    f.get("protocol_version", d.protocol_version);
    f.get("port", d.port);
    f.get("chunk_size", d.chunk_size);
    f.get("finalize_status", d.finalize_status);
    if (const json* r = f.child("reject_chunk")) d.reject_chunk = r->get<uint64_t>();
    if (const json* ports = f.child("interfaces")) {
        if (!ports->is_array()) throw ConfigError(what + ".interfaces: expected an array");
        d.interfaces.clear();
        for (size_t i = 0; i < ports->size(); ++i) {
            d.interfaces.push_back(parse_port((*ports)[i], what + ".interfaces[" + std::to_string(i) + "]"));
        }
    }
    if (const json* faults = f.child("faults")) {
        if (!faults->is_array()) throw ConfigError(what + ".faults: expected an array");
        for (size_t i = 0; i < faults->size(); ++i) {
            uint16_t command = 0;
            Fault fault = parse_fault((*faults)[i], what + ".faults[" + std::to_string(i) + "]", command);
            d.faults[command] = std::move(fault);
        }
    }
    f.done();
    return d;
}

uint64_t parse_number(const std::string& text, const std::string& what) {
    size_t used = 0;
    uint64_t v = 0;
    try {
        v = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw ConfigError(what + ": not a number: \"" + text + "\"");
    return v;
}

}  // namespace

std::vector<uint8_t> parse_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char ch : hex) {
        if (ch != ' ' && ch != ':') digits += ch;
    }
    if (digits.size() % 2 != 0) throw ConfigError("hex bytes: odd number of digits in \"" + hex + "\"");
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(parse_number("0x" + digits.substr(i, 2), "hex bytes")));
    }
    return out;
}

std::vector<DeviceModel> parse_models(const std::string& json_text) {
    json j;
    try {
        j = json::parse(json_text);
    } catch (const json::exception& e) {
        throw ConfigError(std::string("invalid JSON: ") + e.what());
    }
    const json* list = &j;
    if (j.is_object()) {
        Fields top(j, "config");
        list = top.child("devices");
        if (list == nullptr) throw ConfigError("config: missing \"devices\"");
        top.done();
    }
    if (!list->is_array()) throw ConfigError("config: \"devices\" must be an array");
    std::vector<DeviceModel> out;
    for (size_t i = 0; i < list->size(); ++i) {
        out.push_back(parse_device((*list)[i], "devices[" + std::to_string(i) + "]"));
    }
    return out;
}

std::vector<DeviceModel> load_models_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ConfigError("cannot read " + path);
    std::stringstream s;
    s << in.rdbuf();
    return parse_models(s.str());
}

uint16_t parse_command(const std::string& text) {
    for (const auto& c : proto::kCommands)
        if (c.name == text) return proto::request_code(c.command);
    if (!text.empty() && std::isalpha(static_cast<unsigned char>(text[0])) && text.rfind("0x", 0) != 0)
        throw ConfigError("unknown command name \"" + text + "\" (plenko-tq-sim --help lists them)");
    const uint64_t command = parse_number(text, "fault command");
    if (command > 0xFFFF) throw ConfigError("fault command out of range: " + text);
    return static_cast<uint16_t>(command);
}

std::string command_names() {
    std::string out;
    for (const auto& c : proto::kCommands) out += (out.empty() ? "" : ", ") + std::string(c.name);
    return out;
}

std::string command_table() {
    std::string out;
    for (const auto& c : proto::kCommands)
        out += std::to_string(proto::request_code(c.command)) + " " + std::string(c.name) + "\n";
    return out;
}

FaultSpec parse_fault_spec(const std::string& spec) {
    FaultSpec out;
    const auto colon = spec.find(':');
    if (colon == std::string::npos) throw ConfigError("fault \"" + spec + "\": expected COMMAND:KIND");
    std::string target = spec.substr(0, colon);
    if (const auto slash = target.find('/'); slash != std::string::npos) {
        out.device = parse_number(target.substr(0, slash), "fault device");
        target = target.substr(slash + 1);
    }
    out.command = parse_command(target);

    std::stringstream kinds(spec.substr(colon + 1));
    std::string item;
    while (std::getline(kinds, item, ',')) {
        const auto eq = item.find('=');
        const std::string kind = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        auto number = [&] {
            if (value.empty()) throw ConfigError("fault kind " + kind + " needs a value");
            return parse_number(value, "fault " + kind);
        };
        auto u16 = [&] {
            const uint64_t v = number();
            if (v > 0xFFFF) throw ConfigError("fault " + kind + " out of range: " + value);
            return static_cast<uint16_t>(v);
        };
        if (kind == "delay") {
            out.fault.delay = std::chrono::milliseconds(number());
        } else if (kind == "close") {
            out.fault.close = true;
        } else if (kind == "partial") {
            out.fault.partial = number();
        } else if (kind == "raw") {
            out.fault.raw = parse_hex(value);
        } else if (kind == "oversize") {
            out.fault.oversize = u16();
        } else if (kind == "error") {
            out.fault.error_status = u16();
        } else if (kind == "status") {
            out.fault.status = u16();
        } else if (kind == "wrongcode") {
            out.fault.wrong_code = true;
        } else if (kind == "garbage") {
            out.fault.garbage = number();
        } else if (kind == "split") {
            out.fault.split = std::chrono::milliseconds(number());
        } else if (kind == "trickle") {
            out.fault.trickle = std::chrono::milliseconds(number());
        } else if (kind == "times") {
            out.fault.times = static_cast<int>(number());
        } else {
            throw ConfigError("unknown fault kind \"" + kind + "\" in \"" + spec + "\"");
        }
    }
    return out;
}

RandomFaults parse_random_faults(const std::string& spec) {
    RandomFaults out;
    bool have_rate = false;
    std::stringstream items(spec);
    std::string item;
    while (std::getline(items, item, ',')) {
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (key == "rate") {
            size_t used = 0;
            try {
                out.rate = std::stod(value, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != value.size() || !(out.rate >= 0 && out.rate <= 1)) {
                throw ConfigError("random faults: rate must be a number from 0 to 1: \"" + value + "\"");
            }
            have_rate = true;
        } else if (key == "seed") {
            out.seed = parse_number(value, "random faults seed");
        } else if (key == "delay") {
            const auto dash = value.find('-');
            const std::string lo = value.substr(0, dash);
            const std::string hi = dash == std::string::npos ? lo : value.substr(dash + 1);
            out.delay_min = std::chrono::milliseconds(parse_number(lo, "random faults delay"));
            out.delay_max = std::chrono::milliseconds(parse_number(hi, "random faults delay"));
            if (out.delay_max < out.delay_min) throw ConfigError("random faults: delay range runs backwards: " + value);
        } else {
            throw ConfigError("random faults: unknown key \"" + key + "\" in \"" + spec + "\"");
        }
    }
    if (!have_rate) throw ConfigError("random faults: rate= is required in \"" + spec + "\"");
    return out;
}

}  // namespace tq::sim
