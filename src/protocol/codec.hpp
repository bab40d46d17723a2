// The thin layer the client calls: one encoder and one decoder per exchange.
// Encoders write one request packet at offset 0 of the connection's 4096-byte
// buffer and return its length (4 + payload length); decoders parse the packet
// at offset 0 and return the value. Both run the version dispatch first, so a
// refused command leaves nothing to send. Nothing here throws or touches a
// socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "protocol/packet.hpp"
#include "protocol/protocol_error.hpp"
#include "protocol/types.hpp"

namespace tq::wire {

using proto::kBufferSize;
using Buffer = std::span<uint8_t, kBufferSize>;
using ConstBuffer = std::span<const uint8_t, kBufferSize>;

template <class T>
using Result = tl::expected<T, ProtocolError>;

using Encoded = Result<size_t>;

// ---- handshake (the version query takes no version) ----
Encoded encode_get_version(Buffer buf);
Result<uint16_t> decode_get_version(ConstBuffer buf);
Encoded encode_get_ean(uint32_t version, Buffer buf);
Result<uint64_t> decode_get_ean(uint32_t version, ConstBuffer buf);
Encoded encode_get_serial_number(uint32_t version, Buffer buf);
Result<uint64_t> decode_get_serial_number(uint32_t version, ConstBuffer buf);

// ---- device ----
Encoded encode_get_name(uint32_t version, Buffer buf);
Result<std::string> decode_get_name(uint32_t version, ConstBuffer buf);
Encoded encode_get_nickname(uint32_t version, Buffer buf);
Result<std::string> decode_get_nickname(uint32_t version, ConstBuffer buf);
// Fails with TextDecoding "Failed to encode <nickname> as utf-8 cstring" when
// the nickname holds a NUL character.
Encoded encode_set_nickname(uint32_t version, Buffer buf, std::string_view nickname);
// A non-zero status is reported by the decoder itself as a Service failure.
Result<void> decode_set_nickname(uint32_t version, ConstBuffer buf);
Encoded encode_identify(uint32_t version, Buffer buf);
Result<ServiceStatus> decode_identify(uint32_t version, ConstBuffer buf);
Encoded encode_get_num_interfaces(uint32_t version, Buffer buf);
Result<uint16_t> decode_get_num_interfaces(uint32_t version, ConstBuffer buf);
Encoded encode_get_firmware_ean(uint32_t version, Buffer buf);
Result<uint64_t> decode_get_firmware_ean(uint32_t version, ConstBuffer buf);
Encoded encode_get_pcb_revision(uint32_t version, Buffer buf);
Result<std::string> decode_get_pcb_revision(uint32_t version, ConstBuffer buf);
Encoded encode_get_firmware_version(uint32_t version, Buffer buf);
Result<std::string> decode_get_firmware_version(uint32_t version, ConstBuffer buf);
Encoded encode_get_bootloader_version(uint32_t version, Buffer buf);
Result<std::string> decode_get_bootloader_version(uint32_t version, ConstBuffer buf);
Encoded encode_get_manufacturing_date(uint32_t version, Buffer buf);
// Seconds since 1970-01-01 UTC. A count beyond what sys_seconds holds is a
// Conversion failure, never a wrapped time.
Result<std::chrono::sys_seconds> decode_get_manufacturing_date(uint32_t version, ConstBuffer buf);

// ---- firmware update ----
// image_size and chunk_index stay wide so the range check (status 17) sees
// the real value.
Encoded encode_firmware_start(uint32_t version, Buffer buf, uint64_t image_size);
Result<uint16_t> decode_firmware_start(uint32_t version, ConstBuffer buf);  // chunk size
Encoded encode_firmware_chunk(uint32_t version, Buffer buf, uint64_t chunk_index, std::span<const uint8_t> chunk);
// Success means the chunk was accepted. A non-zero result is a rejection
// without a code; the firmware update discards the error and finalizes.
Result<void> decode_firmware_chunk(uint32_t version, ConstBuffer buf);
Encoded encode_firmware_finalize(uint32_t version, Buffer buf);
Result<ServiceStatus> decode_firmware_finalize(uint32_t version, ConstBuffer buf);

// ---- interface (every request starts with the u16 index) ----
Encoded encode_if_get_nickname(uint32_t version, Buffer buf, uint16_t index);
Result<std::string> decode_if_get_nickname(uint32_t version, ConstBuffer buf);
Encoded encode_if_set_nickname(uint32_t version, Buffer buf, uint16_t index, std::string_view nickname);
Result<ServiceStatus> decode_if_set_nickname(uint32_t version, ConstBuffer buf);
Encoded encode_if_get_status(uint32_t version, Buffer buf, uint16_t index);
Result<InterfaceStatus> decode_if_get_status(uint32_t version, ConstBuffer buf);
Encoded encode_if_identify(uint32_t version, Buffer buf, uint16_t index);
Result<ServiceStatus> decode_if_identify(uint32_t version, ConstBuffer buf);
Encoded encode_if_get_supported_eth_configs(uint32_t version, Buffer buf, uint16_t index);
// Non-zero status: Service failure from the decoder.
Result<EthInterfaceConfig> decode_if_get_supported_eth_configs(uint32_t version, ConstBuffer buf);
Encoded encode_if_set_eth_config(uint32_t version, Buffer buf, uint16_t index, const EthInterfaceConfig& config);
Result<ServiceStatus> decode_if_set_eth_config(uint32_t version, ConstBuffer buf);
Encoded encode_if_get_eth_config(uint32_t version, Buffer buf, uint16_t index);
// The status field is taken but not examined.
Result<EthInterfaceConfig> decode_if_get_eth_config(uint32_t version, ConstBuffer buf);
Encoded encode_if_send_tc10_command(uint32_t version, Buffer buf, uint16_t index, Tc10Command command);
Result<ServiceStatus> decode_if_send_tc10_command(uint32_t version, ConstBuffer buf);
Encoded encode_if_get_tc10_state(uint32_t version, Buffer buf, uint16_t index);
// Non-zero status: Service failure. A state byte above 3: Conversion failure.
Result<Tc10State> decode_if_get_tc10_state(uint32_t version, ConstBuffer buf);
Encoded encode_if_read_dcq(uint32_t version, Buffer buf, uint16_t index);
Result<DcqReading> decode_if_read_dcq(uint32_t version, ConstBuffer buf);
Encoded encode_if_run_cable_test(uint32_t version, Buffer buf, uint16_t index);
Result<CableTestResult> decode_if_run_cable_test(uint32_t version, ConstBuffer buf);
Encoded encode_if_set_loopback_state(uint32_t version, Buffer buf, uint16_t index, bool enabled);
Result<void> decode_if_set_loopback_state(uint32_t version, ConstBuffer buf);
Encoded encode_if_get_loopback_state(uint32_t version, Buffer buf, uint16_t index);
Result<bool> decode_if_get_loopback_state(uint32_t version, ConstBuffer buf);
Encoded encode_if_set_packet_generator_config(uint32_t version, Buffer buf, uint16_t index,
                                              const PacketGeneratorConfig& config);
Result<void> decode_if_set_packet_generator_config(uint32_t version, ConstBuffer buf);
Encoded encode_if_get_packet_generator_config(uint32_t version, Buffer buf, uint16_t index);
// The generator-off reply gives enabled=false, Size64, PseudoRandom, GoodCrc, burst 0.
Result<PacketGeneratorConfig> decode_if_get_packet_generator_config(uint32_t version, ConstBuffer buf);

}  // namespace tq::wire
