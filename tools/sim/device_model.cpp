#include "sim/device_model.hpp"

#include <algorithm>

#include "protocol/protocol_base.hpp"

namespace tq::sim {
namespace {

using proto::Packet;

// Commands introduced in protocol version 2; a version-1 device does not know them.
bool since_version_2(uint16_t request) {
    return request == 5 || request == 81 || request == 95 || request == 97 || (request >= 77 && request <= 93);
}

std::vector<uint8_t> serialise(const Packet& p) {
    std::vector<uint8_t> out(p.packet_len());
    p.serialise(out);
    return out;
}

// Builds the regular answer to one request; returns false for the error
// response with `error` as its status.
class Responder {
public:
    Responder(DeviceModel& d, Packet& req, std::optional<uint16_t> forced) : d_(d), req_(req), forced_(forced) {}

    std::vector<uint8_t> run() {
        const uint16_t cmd = req_.command();
        if (d_.protocol_version == 1 && since_version_2(cmd)) return error_response(service::kNotImplemented);
        out_.start(static_cast<uint16_t>(cmd + 1), 16);
        if (!handle(cmd)) return error_response(error_);
        return serialise(out_);
    }

private:
    void status(uint16_t s) { out_.append_u16(forced_.value_or(s)); }
    void text(const std::string& t) { out_.append_text(t); }
    bool fail(uint16_t s) {
        error_ = s;
        return false;
    }

    // The interface a request addresses, or nullptr (answered with invalid interface).
    PortModel* port() {
        uint16_t index = 0;
        if (req_.take_u16(index) != 0) return nullptr;
        return index < d_.interfaces.size() ? &d_.interfaces[index] : nullptr;
    }

    bool handle(uint16_t cmd) {
        switch (cmd) {
            case 1:
                out_.append_u16(static_cast<uint16_t>(d_.protocol_version));
                return true;
            case 3:
                text(d_.name);
                return true;
            case 5:
                return set_text(d_.nickname);
            case 7:
                ++d_.identify_count;
                status(service::kSuccess);
                return true;
            case 9:
                out_.append_u64(d_.firmware_ean);
                return true;
            case 11:
                out_.append_u64(d_.feature_ean);
                return true;
            case 13:
                out_.append_u16(static_cast<uint16_t>(d_.interfaces.size()));
                return true;
            case 29:
                out_.append_u64(d_.serial_number);
                return true;
            case 33:
                text(d_.firmware_version);
                return true;
            case 37:
                text(d_.bootloader_version);
                return true;
            case 39:
                out_.append_u64(d_.ean);
                return true;
            case 41:
                text(d_.pcb_revision);
                return true;
            case 49:
                return firmware_start();
            case 51:
                return firmware_chunk();
            case 53:
                return firmware_finalize();
            case 69:
                out_.append_u64(d_.manufacturing_date);
                return true;
            case 81:
                text(d_.nickname);
                return true;
            default:
                break;
        }
        if (!is_interface_command(cmd)) return fail(service::kNotImplemented);
        PortModel* p = port();
        if (p == nullptr) return fail(service::kInvalidInterface);
        return handle_interface(cmd, *p);
    }

    static bool is_interface_command(uint16_t cmd) {
        return (cmd >= 15 && cmd <= 27 && cmd % 2 == 1) || (cmd >= 77 && cmd <= 79) || (cmd >= 83 && cmd <= 93) ||
               cmd == 97;
    }

    bool handle_interface(uint16_t cmd, PortModel& p) {
        switch (cmd) {
            case 15:
                text(p.nickname);
                return true;
            case 17:
                return set_text(p.nickname);
            case 19:
                out_.append_u8(p.type);
                out_.append_u8(0);
                out_.append_u16(p.status_mode());
                out_.append_u8(p.link_up ? 1 : 0);
                return true;
            case 21:
                ++p.identify_count;
                status(service::kSuccess);
                return true;
            case 23:
                status(service::kSuccess);
                out_.append_u16(p.supported);
                return true;
            case 25:
                return set_eth_config(p);
            case 27:
                status(service::kSuccess);
                out_.append_u16(p.eth_config);
                return true;
            case 77:
                return tc10_command(p);
            case 79:
                status(p.tc10_supported ? service::kSuccess : service::kNotSupportedByInterface);
                out_.append_u8(p.tc10_state);
                return true;
            case 83:
                for (uint8_t v : p.dcq8) out_.append_u8(v);
                for (uint16_t v : p.dcq16) out_.append_u16(v);
                return true;
            case 85:
                out_.append_u8(p.cable_harness);
                out_.append_u8(p.cable_distance);
                return true;
            case 87:
                return req_.take_u8(p.loopback) == 0 || fail(service::kInvalidArgument);
            case 89:
                out_.append_u8(p.loopback);
                return true;
            case 91:
                return req_.take_bytes(p.packet_generator) == 0 || fail(service::kInvalidArgument);
            case 93:
                out_.append_bytes(p.packet_generator);
                return true;
            case 97:
                out_.append_u64(0);
                return true;
            default:
                return fail(service::kNotImplemented);
        }
    }

    bool set_text(std::string& target) {
        std::array<char, 4096> field{};
        if (req_.take_text(field.data(), field.size()) != 0) return fail(service::kInvalidArgument);
        target = field.data();
        status(service::kSuccess);
        return true;
    }

    bool set_eth_config(PortModel& p) {
        uint16_t bits = 0;
        if (req_.take_u16(bits) != 0) return fail(service::kInvalidArgument);
        if ((bits & mode::kFull) && (bits & mode::kHalf)) {
            status(service::kInvalidCombination);
        } else if ((bits & ~p.supported & 0x07C7) != 0) {
            status(service::kInvalidArgument);  // a speed, duplex or role the port cannot do
        } else {
            p.eth_config = bits;
            status(service::kSuccess);
        }
        return true;
    }

    bool tc10_command(PortModel& p) {
        uint8_t wire = 0;
        if (req_.take_u8(wire) != 0) return fail(service::kInvalidArgument);
        if (!p.tc10_supported) {
            status(service::kNotSupportedByInterface);
            return true;
        }
        // Wire 1 wakes up, 0 sends to sleep; a sleeping port with its link up
        // goes to Sleep, one without a link partner fails to sleep.
        if (wire == 1) {
            p.tc10_state = 0;
        } else {
            p.tc10_state = p.link_up ? 1 : 2;
        }
        status(service::kSuccess);
        return true;
    }

    bool firmware_start() {
        uint8_t reserved = 0;
        uint32_t size = 0;
        if (req_.take_u8(reserved) != 0 || req_.take_u32(size) != 0) return fail(service::kInvalidArgument);
        d_.firmware.announced = size;
        d_.firmware.next_index = 0;
        d_.firmware.active = true;
        d_.firmware.received.clear();
        d_.firmware.received.reserve(size);
        out_.append_u16(d_.chunk_size);
        return true;
    }

    bool firmware_chunk() {
        uint16_t index = 0;
        std::span<const uint8_t> bytes;
        auto& fw = d_.firmware;
        const bool ok = req_.take_u16(index) == 0 && req_.take_sized_bytes(bytes) == 0 && fw.active &&
                        index == fw.next_index && fw.received.size() + bytes.size() <= fw.announced &&
                        !(d_.reject_chunk && *d_.reject_chunk == index);
        if (ok) {
            fw.received.insert(fw.received.end(), bytes.begin(), bytes.end());
            ++fw.next_index;
        }
        out_.append_u16(ok ? 0 : 1);
        return true;
    }

    bool firmware_finalize() {
        auto& fw = d_.firmware;
        const bool complete = fw.active && fw.received.size() == fw.announced;
        uint16_t s = complete ? d_.finalize_status : service::kOperationFailed;
        if (s == service::kSuccess) {
            fw.last_image = std::move(fw.received);
            ++fw.completed;
        }
        fw.received.clear();
        fw.active = false;
        status(s);
        return true;
    }

    DeviceModel& d_;
    Packet& req_;
    std::optional<uint16_t> forced_;
    Packet out_;
    uint16_t error_ = 0;
};

}  // namespace

uint16_t PortModel::status_mode() const {
    // The link runs at the fastest configured speed the port supports.
    uint16_t speeds = eth_config & supported & (mode::k10 | mode::k100 | mode::k1000);
    if (speeds == 0) speeds = supported & (mode::k10 | mode::k100 | mode::k1000);
    const uint16_t fastest = speeds & mode::k1000 ? mode::k1000 : speeds & mode::k100 ? mode::k100 : speeds & mode::k10;
    const uint16_t role = eth_config & mode::kLeader ? mode::kLeader : mode::kFollower;
    return static_cast<uint16_t>(fastest | (eth_config & (mode::kFull | mode::kHalf)) | role);
}

std::vector<uint8_t> answer(DeviceModel& device, std::span<const uint8_t> request, std::optional<uint16_t> forced) {
    Packet req;
    if (req.parse(request) != 0) return error_response(20);
    return Responder(device, req, forced).run();
}

std::vector<uint8_t> error_response(uint16_t status) {
    Packet p;
    p.start(proto::kErrorResponse, 2);
    p.append_u16(status);
    return serialise(p);
}

uint64_t ean_from_digits(const std::string& digits) {
    uint64_t v = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') continue;
        v = v << 4 | static_cast<uint64_t>(ch - '0');
    }
    return v;
}

}  // namespace tq::sim
