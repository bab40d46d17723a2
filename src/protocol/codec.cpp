#include "protocol/codec.hpp"

#include "protocol/commands.hpp"
#include "protocol/packet.hpp"
#include "protocol/wire_values.hpp"

namespace tq::wire {
namespace {

using proto::Command;
using proto::TextField;

tl::unexpected<ProtocolError> failed(proto::Status s) {
    return tl::unexpected(ProtocolError::from_status(s));
}

// The request is written straight into the connection buffer.
template <Command C, class... Args>
Encoded encode(uint32_t version, Buffer buf, const Args&... args) {
    if (const auto s = proto::version_gate(version, C)) return failed(s);
    proto::PacketWriter packet{buf};
    if (const auto s = proto::encode_request<C>(packet, args...)) return failed(s);
    return packet.packet_len();
}

template <Command C, class... Outs>
Result<void> decode(uint32_t version, ConstBuffer buf, Outs&... outs) {
    // Gate before parsing so a refused command reports its version error
    // whatever the buffer holds.
    if (const auto s = proto::version_gate(version, C)) return failed(s);
    proto::PacketReader packet;
    if (const auto s = packet.parse(buf)) return failed(s);
    if (const auto s = proto::decode_response<C>(packet, outs...)) return failed(s);
    return {};
}

template <Command C, class T>
Result<T> decode_value(uint32_t version, ConstBuffer buf) {
    T value{};
    return decode<C>(version, buf, value).map([&] { return value; });
}

template <Command C>
Result<std::string> decode_text(uint32_t version, ConstBuffer buf) {
    TextField field{};
    return decode<C>(version, buf, field).and_then([&] { return text_from_field(field); });
}

template <Command C>
Result<ServiceStatus> decode_status(uint32_t version, ConstBuffer buf) {
    ServiceStatus status{};
    return decode<C>(version, buf, status).map([&] { return status; });
}

// A text argument is sent as a C string, so an embedded NUL would silently
// cut it; refuse it instead.
Result<void> check_cstring(std::string_view text) {
    if (text.find('\0') != std::string_view::npos)
        return tl::unexpected(
            ProtocolError::text_decoding("Failed to encode " + std::string{text} + " as utf-8 cstring"));
    return {};
}

Result<EthInterfaceConfig> decode_config(Result<void> decoded, const uint16_t& bits) {
    return decoded.and_then([&] { return config_from_mode_bits(bits); });
}

}  // namespace

// ---- handshake ----

Encoded encode_get_version(Buffer buf) {
    return encode<Command::GetVersion>(0, buf);
}
Result<uint16_t> decode_get_version(ConstBuffer buf) {
    return decode_value<Command::GetVersion, uint16_t>(0, buf);
}
Encoded encode_get_ean(uint32_t v, Buffer buf) {
    return encode<Command::GetEan>(v, buf);
}
Result<uint64_t> decode_get_ean(uint32_t v, ConstBuffer buf) {
    return decode_value<Command::GetEan, uint64_t>(v, buf);
}
Encoded encode_get_serial_number(uint32_t v, Buffer buf) {
    return encode<Command::GetSerialNumber>(v, buf);
}
Result<uint64_t> decode_get_serial_number(uint32_t v, ConstBuffer buf) {
    return decode_value<Command::GetSerialNumber, uint64_t>(v, buf);
}

// ---- device ----

Encoded encode_get_name(uint32_t v, Buffer buf) {
    return encode<Command::DeviceGetName>(v, buf);
}
Result<std::string> decode_get_name(uint32_t v, ConstBuffer buf) {
    return decode_text<Command::DeviceGetName>(v, buf);
}
Encoded encode_get_nickname(uint32_t v, Buffer buf) {
    return encode<Command::DeviceGetNickname>(v, buf);
}
Result<std::string> decode_get_nickname(uint32_t v, ConstBuffer buf) {
    return decode_text<Command::DeviceGetNickname>(v, buf);
}

Encoded encode_set_nickname(uint32_t v, Buffer buf, std::string_view nickname) {
    return check_cstring(nickname).and_then([&] { return encode<Command::DeviceSetNickname>(v, buf, nickname); });
}

Result<void> decode_set_nickname(uint32_t v, ConstBuffer buf) {
    return decode_status<Command::DeviceSetNickname>(v, buf).and_then([](ServiceStatus s) -> Result<void> {
        if (s != ServiceStatus::Success) return tl::unexpected(ProtocolError::service_failure(s));
        return {};
    });
}

Encoded encode_identify(uint32_t v, Buffer buf) {
    return encode<Command::IdentifyDevice>(v, buf);
}
Result<ServiceStatus> decode_identify(uint32_t v, ConstBuffer buf) {
    return decode_status<Command::IdentifyDevice>(v, buf);
}
Encoded encode_get_num_interfaces(uint32_t v, Buffer buf) {
    return encode<Command::GetNumInterfaces>(v, buf);
}
Result<uint16_t> decode_get_num_interfaces(uint32_t v, ConstBuffer buf) {
    return decode_value<Command::GetNumInterfaces, uint16_t>(v, buf);
}
Encoded encode_get_firmware_ean(uint32_t v, Buffer buf) {
    return encode<Command::GetFirmwareEan>(v, buf);
}
Result<uint64_t> decode_get_firmware_ean(uint32_t v, ConstBuffer buf) {
    return decode_value<Command::GetFirmwareEan, uint64_t>(v, buf);
}
Encoded encode_get_pcb_revision(uint32_t v, Buffer buf) {
    return encode<Command::GetPcbRevision>(v, buf);
}
Result<std::string> decode_get_pcb_revision(uint32_t v, ConstBuffer buf) {
    return decode_text<Command::GetPcbRevision>(v, buf);
}
Encoded encode_get_firmware_version(uint32_t v, Buffer buf) {
    return encode<Command::GetFirmwareVersion>(v, buf);
}
Result<std::string> decode_get_firmware_version(uint32_t v, ConstBuffer buf) {
    return decode_text<Command::GetFirmwareVersion>(v, buf);
}
Encoded encode_get_bootloader_version(uint32_t v, Buffer buf) {
    return encode<Command::GetBootloaderVersion>(v, buf);
}
Result<std::string> decode_get_bootloader_version(uint32_t v, ConstBuffer buf) {
    return decode_text<Command::GetBootloaderVersion>(v, buf);
}
Encoded encode_get_manufacturing_date(uint32_t v, Buffer buf) {
    return encode<Command::GetManufacturingDate>(v, buf);
}
Result<std::chrono::sys_seconds> decode_get_manufacturing_date(uint32_t v, ConstBuffer buf) {
    return decode_value<Command::GetManufacturingDate, uint64_t>(v, buf).and_then(manufacturing_date_from_wire);
}

// ---- firmware update ----

Encoded encode_firmware_start(uint32_t v, Buffer buf, uint64_t image_size) {
    return encode<Command::UpdateFirmwareStart>(v, buf, uint8_t{0}, image_size);
}
Result<uint16_t> decode_firmware_start(uint32_t v, ConstBuffer buf) {
    return decode_value<Command::UpdateFirmwareStart, uint16_t>(v, buf);
}
Encoded encode_firmware_chunk(uint32_t v, Buffer buf, uint64_t chunk_index, std::span<const uint8_t> chunk) {
    return encode<Command::UpdateFirmwareSendChunk>(v, buf, chunk_index, chunk);
}
Result<void> decode_firmware_chunk(uint32_t v, ConstBuffer buf) {
    return decode_value<Command::UpdateFirmwareSendChunk, uint16_t>(v, buf).and_then(
        [](uint16_t result) -> Result<void> {
            // A rejection carries no code of its own; the firmware update only
            // needs to know that the chunk was not accepted.
            if (result != 0) return failed(proto::kServiceApiError);
            return {};
        });
}
Encoded encode_firmware_finalize(uint32_t v, Buffer buf) {
    return encode<Command::UpdateFirmwareFinalize>(v, buf);
}
Result<ServiceStatus> decode_firmware_finalize(uint32_t v, ConstBuffer buf) {
    return decode_status<Command::UpdateFirmwareFinalize>(v, buf);
}

// ---- interface ----

Encoded encode_if_get_nickname(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::InterfaceGetNickname>(v, buf, index);
}
Result<std::string> decode_if_get_nickname(uint32_t v, ConstBuffer buf) {
    return decode_text<Command::InterfaceGetNickname>(v, buf);
}
Encoded encode_if_set_nickname(uint32_t v, Buffer buf, uint16_t index, std::string_view nickname) {
    return check_cstring(nickname).and_then(
        [&] { return encode<Command::InterfaceSetNickname>(v, buf, index, nickname); });
}
Result<ServiceStatus> decode_if_set_nickname(uint32_t v, ConstBuffer buf) {
    return decode_status<Command::InterfaceSetNickname>(v, buf);
}

Encoded encode_if_get_status(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::GetInterfaceStatus>(v, buf, index);
}
Result<InterfaceStatus> decode_if_get_status(uint32_t v, ConstBuffer buf) {
    InterfaceStatusRecord r;
    return decode<Command::GetInterfaceStatus>(v, buf, r.type, r.ignored, r.mode_bits, r.link_state).and_then([&] {
        return interface_status_from_record(r);
    });
}

Encoded encode_if_identify(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::IdentifyInterface>(v, buf, index);
}
Result<ServiceStatus> decode_if_identify(uint32_t v, ConstBuffer buf) {
    return decode_status<Command::IdentifyInterface>(v, buf);
}

Encoded encode_if_get_supported_eth_configs(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::GetSupportedEthInterfaceModes>(v, buf, index);
}
Result<EthInterfaceConfig> decode_if_get_supported_eth_configs(uint32_t v, ConstBuffer buf) {
    ServiceStatus status{};
    uint16_t bits = 0;
    auto decoded = decode<Command::GetSupportedEthInterfaceModes>(v, buf, status, bits).and_then([&]() -> Result<void> {
        if (status != ServiceStatus::Success) return tl::unexpected(ProtocolError::service_failure(status));
        return {};
    });
    return decode_config(std::move(decoded), bits);
}

Encoded encode_if_set_eth_config(uint32_t v, Buffer buf, uint16_t index, const EthInterfaceConfig& config) {
    return encode<Command::SetEthInterfaceMode>(v, buf, index, mode_bits_from_config(config));
}
Result<ServiceStatus> decode_if_set_eth_config(uint32_t v, ConstBuffer buf) {
    return decode_status<Command::SetEthInterfaceMode>(v, buf);
}

Encoded encode_if_get_eth_config(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::GetEthInterfaceMode>(v, buf, index);
}
Result<EthInterfaceConfig> decode_if_get_eth_config(uint32_t v, ConstBuffer buf) {
    // The status is taken but, unlike the supported-configurations reply, not
    // examined: the mode bits are decoded whatever it says.
    uint16_t status = 0, bits = 0;
    auto decoded = decode<Command::GetEthInterfaceMode>(v, buf, status, bits);
    return decode_config(std::move(decoded), bits);
}

Encoded encode_if_send_tc10_command(uint32_t v, Buffer buf, uint16_t index, Tc10Command command) {
    return encode<Command::InterfaceSendTc10Command>(v, buf, index, tc10_command_to_wire(command));
}
Result<ServiceStatus> decode_if_send_tc10_command(uint32_t v, ConstBuffer buf) {
    return decode_status<Command::InterfaceSendTc10Command>(v, buf);
}

Encoded encode_if_get_tc10_state(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::InterfaceGetTc10State>(v, buf, index);
}
Result<Tc10State> decode_if_get_tc10_state(uint32_t v, ConstBuffer buf) {
    ServiceStatus status{};
    uint8_t state = 0;
    return decode<Command::InterfaceGetTc10State>(v, buf, status, state).and_then([&]() -> Result<Tc10State> {
        if (status != ServiceStatus::Success) return tl::unexpected(ProtocolError::service_failure(status));
        return tc10_state_from_wire(state);
    });
}

Encoded encode_if_read_dcq(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::InterfaceReadDcq>(v, buf, index);
}
Result<DcqReading> decode_if_read_dcq(uint32_t v, ConstBuffer buf) {
    DcqRecord r;
    return decode<Command::InterfaceReadDcq>(v, buf, r.sqi, r.sqi_worst, r.peak_mse, r.peak_mse_worst, r.mse,
                                             r.mse_worst)
        .map([&] { return dcq_from_record(r); });
}

Encoded encode_if_run_cable_test(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::InterfaceRunCableTest>(v, buf, index);
}
Result<CableTestResult> decode_if_run_cable_test(uint32_t v, ConstBuffer buf) {
    uint8_t harness = 0, distance = 0;
    return decode<Command::InterfaceRunCableTest>(v, buf, harness, distance).and_then([&] {
        return cable_test_from_record(harness, distance);
    });
}

Encoded encode_if_set_loopback_state(uint32_t v, Buffer buf, uint16_t index, bool enabled) {
    return encode<Command::InterfaceSetLoopback>(v, buf, index, enabled);
}
Result<void> decode_if_set_loopback_state(uint32_t v, ConstBuffer buf) {
    return decode<Command::InterfaceSetLoopback>(v, buf);
}
Encoded encode_if_get_loopback_state(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::InterfaceGetLoopback>(v, buf, index);
}
Result<bool> decode_if_get_loopback_state(uint32_t v, ConstBuffer buf) {
    return decode_value<Command::InterfaceGetLoopback, bool>(v, buf);
}

Encoded encode_if_set_packet_generator_config(uint32_t v, Buffer buf, uint16_t index,
                                              const PacketGeneratorConfig& config) {
    const PgRecord r = record_from_pg_config(config);
    return encode<Command::InterfaceSetPacketGenerator>(v, buf, index, r.payload_size, r.payload_type, r.validity,
                                                        r.burst_size, r.enabled);
}
Result<void> decode_if_set_packet_generator_config(uint32_t v, ConstBuffer buf) {
    return decode<Command::InterfaceSetPacketGenerator>(v, buf);
}
Encoded encode_if_get_packet_generator_config(uint32_t v, Buffer buf, uint16_t index) {
    return encode<Command::InterfaceGetPacketGenerator>(v, buf, index);
}
Result<PacketGeneratorConfig> decode_if_get_packet_generator_config(uint32_t v, ConstBuffer buf) {
    PgRecord r;
    return decode<Command::InterfaceGetPacketGenerator>(v, buf, r.payload_size, r.payload_type, r.validity,
                                                        r.burst_size, r.enabled)
        .and_then([&] { return pg_config_from_record(r); });
}

}  // namespace tq::wire
