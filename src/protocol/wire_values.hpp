// Conversions between raw wire values and the client's types, both ways. The
// decoding direction is what the thin layer (codec.hpp) applies to responses;
// the encoding direction serves requests and lets the device simulator build
// responses from the client's types.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include <tl/expected.hpp>

#include "protocol/protocol_error.hpp"
#include "protocol/types.hpp"

namespace tq::wire {

template <class T>
using Converted = tl::expected<T, ProtocolError>;

namespace mode {
inline constexpr uint16_t k10Mbit = 0x0001;
inline constexpr uint16_t k100Mbit = 0x0002;
inline constexpr uint16_t k1000Mbit = 0x0004;
inline constexpr uint16_t kHalfDuplex = 0x0040;
inline constexpr uint16_t kFullDuplex = 0x0080;
inline constexpr uint16_t kFollower = 0x0100;
inline constexpr uint16_t kLeader = 0x0200;
inline constexpr uint16_t kAneg = 0x0400;  // IEEE auto-negotiation
}  // namespace mode

// Interface status record as the wire carries it; the defaults are the
// decoder's starting values.
struct InterfaceStatusRecord {
    uint8_t type = 2;
    uint8_t ignored = 0;
    uint16_t mode_bits = 0xFFFF;
    uint8_t link_state = 0xFF;
};

// Packet generator record in wire coding; the defaults are the decoder's
// starting values, and also what a disabled configuration is sent as.
struct PgRecord {
    uint8_t payload_size = 0;
    uint8_t payload_type = 1;
    uint8_t validity = 0;
    uint8_t burst_size = 0;
    bool enabled = false;
};

struct DcqRecord {
    uint8_t sqi = 0;
    uint8_t sqi_worst = 0;
    uint8_t peak_mse = 0;
    uint8_t peak_mse_worst = 0;
    uint16_t mse = 0;
    uint16_t mse_worst = 0;
};

// A zero-filled text field cut at its first NUL.
Converted<std::string> text_from_field(std::span<const char> field);

uint16_t mode_bits_from_config(const EthInterfaceConfig& config);
Converted<EthInterfaceConfig> config_from_mode_bits(uint16_t bits);
// One speed: the lowest speed bit wins.
Converted<EthLinkSpeed> link_speed_from_mode_bits(uint16_t bits);
uint16_t mode_bits_from_link_speed(EthLinkSpeed speed);

Converted<InterfaceStatus> interface_status_from_record(const InterfaceStatusRecord& record);
InterfaceStatusRecord record_from_interface_status(const InterfaceStatus& status);

Converted<PacketGeneratorConfig> pg_config_from_record(const PgRecord& record);
PgRecord record_from_pg_config(const PacketGeneratorConfig& config);

DcqReading dcq_from_record(const DcqRecord& record);

Converted<CableTestResult> cable_test_from_record(uint8_t harness_status, uint8_t distance_to_fault);

uint8_t tc10_command_to_wire(Tc10Command command);
Converted<Tc10State> tc10_state_from_wire(uint8_t state);

// Seconds since 1970-01-01 UTC; counts beyond sys_seconds' range are refused.
Converted<std::chrono::sys_seconds> manufacturing_date_from_wire(uint64_t seconds);

}  // namespace tq::wire
