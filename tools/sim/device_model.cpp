#include "sim/device_model.hpp"

#include <array>

#include "protocol/commands.hpp"
#include "protocol/packet.hpp"

namespace tq::sim {
namespace {

using proto::Command;
using proto::PacketReader;
using proto::PacketWriter;
using S = ServiceStatus;

// Room for any packet: the model's texts are not bounded by the client's buffer.
using AnswerBuffer = std::array<uint8_t, proto::kHeaderLen + proto::kMaxPayloadLen>;

std::vector<uint8_t> written(std::span<const uint8_t> buffer, const PacketWriter& w) {
    return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(w.packet_len())};
}

// Builds the answer to one request through the command table's device side.
// A handler returns false for the error response with `error_` as its status.
class Responder {
public:
    Responder(DeviceModel& d, PacketReader& req, std::optional<uint16_t> forced) : d_(d), req_(req), forced_(forced) {}

    std::vector<uint8_t> run() {
        const proto::CommandInfo* info = proto::find_command(req_.command());
        if (info == nullptr) return error_response(S::NotImplemented);
        // A version-1 device does not know the commands version 2 introduced.
        if (d_.protocol_version == 1 && info->since == 2) return error_response(S::NotImplemented);
        if (!handle(info->command)) return error_response(error_);
        return written(buffer_, out_);
    }

private:
    // A reply the table lays out; texts that do not fit leave the packet as
    // far as it got, as a device's truncated answer would.
    template <Command C, class... Args>
    bool reply(const Args&... args) {
        proto::encode_response<C>(out_, args...);
        return true;
    }
    // A status field, unless the fault being served forces another.
    S status(S s) const { return forced_ ? S{*forced_} : s; }
    bool fail(S s) {
        error_ = s;
        return false;
    }

    // The port an interface request addresses, or nullptr when its index is
    // missing or unknown (answered with invalid interface before anything
    // else of the request is looked at).
    PortModel* port() const {
        PacketReader peek = req_;
        uint16_t index = 0;
        if (peek.take_u16(index) != proto::kSuccess) return nullptr;
        return index < d_.interfaces.size() ? &d_.interfaces[index] : nullptr;
    }

    bool handle(Command cmd) {
        using C = Command;
        switch (cmd) {
            case C::GetVersion:
                return reply<C::GetVersion>(static_cast<uint16_t>(d_.protocol_version));
            case C::DeviceGetName:
                return reply<C::DeviceGetName>(d_.name);
            case C::DeviceSetNickname:
                return set_text<C::DeviceSetNickname>(d_.nickname);
            case C::IdentifyDevice:
                ++d_.identify_count;
                return reply<C::IdentifyDevice>(status(S::Success));
            case C::GetFirmwareEan:
                return reply<C::GetFirmwareEan>(d_.firmware_ean);
            case C::GetFeatureEan:
                return reply<C::GetFeatureEan>(d_.feature_ean);
            case C::GetNumInterfaces:
                return reply<C::GetNumInterfaces>(static_cast<uint16_t>(d_.interfaces.size()));
            case C::GetSerialNumber:
                return reply<C::GetSerialNumber>(d_.serial_number);
            case C::GetFirmwareVersion:
                return reply<C::GetFirmwareVersion>(d_.firmware_version);
            case C::GetBootloaderVersion:
                return reply<C::GetBootloaderVersion>(d_.bootloader_version);
            case C::GetEan:
                return reply<C::GetEan>(d_.ean);
            case C::GetPcbRevision:
                return reply<C::GetPcbRevision>(d_.pcb_revision);
            case C::UpdateFirmwareStart:
                return firmware_start();
            case C::UpdateFirmwareSendChunk:
                return firmware_chunk();
            case C::UpdateFirmwareFinalize:
                return firmware_finalize();
            case C::GetManufacturingDate:
                return reply<C::GetManufacturingDate>(d_.manufacturing_date);
            case C::DeviceGetNickname:
                return reply<C::DeviceGetNickname>(d_.nickname);
            default:
                break;
        }
        if (!proto::addresses_interface(proto::command_info(cmd))) return fail(S::NotImplemented);
        PortModel* p = port();
        if (p == nullptr) return fail(S::InvalidInterface);
        return handle_interface(cmd, *p);
    }

    bool handle_interface(Command cmd, PortModel& p) {
        using C = Command;
        switch (cmd) {
            case C::InterfaceGetNickname:
                return reply<C::InterfaceGetNickname>(p.nickname);
            case C::InterfaceSetNickname:
                return set_text<C::InterfaceSetNickname>(p.nickname);
            case C::GetInterfaceStatus:
                return reply<C::GetInterfaceStatus>(p.type, uint8_t{0}, p.status_mode(), uint8_t{p.link_up});
            case C::IdentifyInterface:
                ++p.identify_count;
                return reply<C::IdentifyInterface>(status(S::Success));
            case C::GetSupportedEthInterfaceModes:
                return reply<C::GetSupportedEthInterfaceModes>(status(S::Success), p.supported);
            case C::SetEthInterfaceMode:
                return set_eth_config(p);
            case C::GetEthInterfaceMode:
                return reply<C::GetEthInterfaceMode>(static_cast<uint16_t>(status(S::Success)), p.eth_config);
            case C::InterfaceSendTc10Command:
                return tc10_command(p);
            case C::InterfaceGetTc10State:
                return reply<C::InterfaceGetTc10State>(
                    status(p.tc10_supported ? S::Success : S::NotSupportedByInterface), p.tc10_state);
            case C::InterfaceReadDcq:
                return reply<C::InterfaceReadDcq>(p.dcq8[0], p.dcq8[1], p.dcq8[2], p.dcq8[3], p.dcq16[0], p.dcq16[1]);
            case C::InterfaceRunCableTest:
                return reply<C::InterfaceRunCableTest>(p.cable_harness, p.cable_distance);
            case C::InterfaceSetLoopback: {
                uint16_t index = 0;
                bool on = false;
                if (proto::decode_request<C::InterfaceSetLoopback>(req_, index, on)) return fail(S::InvalidArgument);
                p.loopback = on ? 1 : 0;
                return reply<C::InterfaceSetLoopback>();
            }
            case C::InterfaceGetLoopback:
                return reply<C::InterfaceGetLoopback>(p.loopback);
            case C::InterfaceSetPacketGenerator: {
                uint16_t index = 0;
                uint8_t size = 0, type = 0, validity = 0, burst = 0;
                bool on = false;
                if (proto::decode_request<C::InterfaceSetPacketGenerator>(req_, index, size, type, validity, burst, on))
                    return fail(S::InvalidArgument);
                p.packet_generator = {size, type, validity, burst, uint8_t{on}};
                return reply<C::InterfaceSetPacketGenerator>();
            }
            case C::InterfaceGetPacketGenerator: {
                const auto& [size, type, validity, burst, enabled] = p.packet_generator;
                return reply<C::InterfaceGetPacketGenerator>(size, type, validity, burst, enabled);
            }
            case C::Unnamed97:
                return reply<C::Unnamed97>(uint64_t{0});
            default:
                return fail(S::NotImplemented);
        }
    }

    // Device or interface nickname; the text may be longer than the client
    // would ever read back.
    template <Command C>
    bool set_text(std::string& target) {
        std::array<char, proto::kBufferSize> field{};
        if constexpr (proto::addresses_interface(proto::command_info(C))) {
            uint16_t index = 0;
            if (proto::decode_request<C>(req_, index, field)) return fail(S::InvalidArgument);
        } else {
            if (proto::decode_request<C>(req_, field)) return fail(S::InvalidArgument);
        }
        target = field.data();
        return reply<C>(status(S::Success));
    }

    bool set_eth_config(PortModel& p) {
        uint16_t index = 0, bits = 0;
        if (proto::decode_request<Command::SetEthInterfaceMode>(req_, index, bits)) return fail(S::InvalidArgument);
        constexpr uint16_t kKnown = mode::k10Mbit | mode::k100Mbit | mode::k1000Mbit | mode::kHalfDuplex |
                                    mode::kFullDuplex | mode::kFollower | mode::kLeader | mode::kAneg;
        S s = S::Success;
        if ((bits & mode::kFullDuplex) && (bits & mode::kHalfDuplex)) {
            s = S::InvalidCombination;
        } else if ((bits & ~p.supported & kKnown) != 0) {
            s = S::InvalidArgument;  // a speed, duplex or role the port cannot do
        } else {
            p.eth_config = bits;
        }
        return reply<Command::SetEthInterfaceMode>(status(s));
    }

    bool tc10_command(PortModel& p) {
        uint16_t index = 0;
        uint8_t wire = 0;
        if (proto::decode_request<Command::InterfaceSendTc10Command>(req_, index, wire))
            return fail(S::InvalidArgument);
        if (!p.tc10_supported) return reply<Command::InterfaceSendTc10Command>(status(S::NotSupportedByInterface));
        // Wire 1 wakes up, 0 sends to sleep; a sleeping port with its link up
        // goes to Sleep, one without a link partner fails to sleep.
        if (wire == 1) {
            p.tc10_state = static_cast<uint8_t>(Tc10State::Normal);
        } else {
            p.tc10_state = static_cast<uint8_t>(p.link_up ? Tc10State::Sleep : Tc10State::SleepFailed);
        }
        return reply<Command::InterfaceSendTc10Command>(status(S::Success));
    }

    bool firmware_start() {
        uint8_t reserved = 0;
        uint32_t size = 0;
        if (proto::decode_request<Command::UpdateFirmwareStart>(req_, reserved, size)) return fail(S::InvalidArgument);
        d_.firmware.announced = size;
        d_.firmware.next_index = 0;
        d_.firmware.active = true;
        d_.firmware.received.clear();
        d_.firmware.received.reserve(size);
        return reply<Command::UpdateFirmwareStart>(d_.chunk_size);
    }

    bool firmware_chunk() {
        uint16_t index = 0;
        std::span<const uint8_t> bytes;
        auto& fw = d_.firmware;
        const bool ok = proto::decode_request<Command::UpdateFirmwareSendChunk>(req_, index, bytes) == 0 && fw.active &&
                        index == fw.next_index && fw.received.size() + bytes.size() <= fw.announced &&
                        !(d_.reject_chunk && *d_.reject_chunk == index);
        if (ok) {
            fw.received.insert(fw.received.end(), bytes.begin(), bytes.end());
            ++fw.next_index;
        }
        // A plain result, not a service status: 0 accepts the chunk.
        return reply<Command::UpdateFirmwareSendChunk>(static_cast<uint16_t>(ok ? 0 : 1));
    }

    bool firmware_finalize() {
        auto& fw = d_.firmware;
        const bool complete = fw.active && fw.received.size() == fw.announced;
        const S s = complete ? S{d_.finalize_status} : S::OperationFailed;
        if (s == S::Success) {
            fw.last_image = std::move(fw.received);
            ++fw.completed;
        }
        fw.received.clear();
        fw.active = false;
        return reply<Command::UpdateFirmwareFinalize>(status(s));
    }

    DeviceModel& d_;
    PacketReader& req_;
    std::optional<uint16_t> forced_;
    AnswerBuffer buffer_;
    PacketWriter out_{buffer_};
    S error_ = S::NotImplemented;
};

}  // namespace

uint16_t PortModel::status_mode() const {
    // The link runs at the fastest configured speed the port supports.
    constexpr uint16_t kSpeeds = mode::k10Mbit | mode::k100Mbit | mode::k1000Mbit;
    uint16_t speeds = eth_config & supported & kSpeeds;
    if (speeds == 0) speeds = supported & kSpeeds;
    const uint16_t fastest = speeds & mode::k1000Mbit  ? mode::k1000Mbit
                             : speeds & mode::k100Mbit ? mode::k100Mbit
                                                       : speeds & mode::k10Mbit;
    const uint16_t role = eth_config & mode::kLeader ? mode::kLeader : mode::kFollower;
    return static_cast<uint16_t>(fastest | (eth_config & (mode::kFullDuplex | mode::kHalfDuplex)) | role);
}

std::vector<uint8_t> answer(DeviceModel& device, std::span<const uint8_t> request, std::optional<uint16_t> forced) {
    PacketReader req;
    if (req.parse(request) != proto::kSuccess) return error_response(S::ProtocolError);
    return Responder(device, req, forced).run();
}

std::vector<uint8_t> error_response(ServiceStatus status) {
    std::array<uint8_t, proto::kHeaderLen + 2> buffer;
    PacketWriter w{buffer};
    proto::encode_error_response(w, status);
    return written(buffer, w);
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
