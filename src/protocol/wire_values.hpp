// Conversions between the values the wire carries and the client's types:
// responses' fields into the client's values, the client's arguments into
// requests' fields. A wire value without a counterpart is a Conversion
// failure carrying the text the client reports.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

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

// Every bit above with what it says, lowest first.
struct Bit {
    uint16_t mask;
    std::string_view name;
};
inline constexpr std::array<Bit, 8> kBits = {{
    {k10Mbit, "10 Mbit/s"},
    {k100Mbit, "100 Mbit/s"},
    {k1000Mbit, "1000 Mbit/s"},
    {kHalfDuplex, "half duplex"},
    {kFullDuplex, "full duplex"},
    {kFollower, "follower role"},
    {kLeader, "leader role"},
    {kAneg, "IEEE auto-negotiation"},
}};
}  // namespace mode

// A zero-filled text field cut at its first NUL.
Converted<std::string> text_from_field(std::span<const char> field);

uint16_t mode_bits_from_config(const EthInterfaceConfig& config);
Converted<EthInterfaceConfig> config_from_mode_bits(uint16_t bits);
// One speed: the lowest speed bit wins.
Converted<EthLinkSpeed> link_speed_from_mode_bits(uint16_t bits);

// The interface status record's fields, in wire order.
Converted<InterfaceStatus> interface_status_from_wire(uint8_t type, uint8_t ignored, uint16_t mode_bits,
                                                      uint8_t link_state);

// The packet generator record's fields, in wire order: payload size, payload
// type, packet validity, burst size, enabled.
using PgRecord = std::tuple<uint8_t, uint8_t, uint8_t, uint8_t, bool>;
Converted<PacketGeneratorConfig> pg_config_from_wire(uint8_t payload_size, uint8_t payload_type, uint8_t validity,
                                                     uint8_t burst_size, bool enabled);
// A disabled configuration is always the record 00 01 00 00 00.
PgRecord pg_config_to_wire(const PacketGeneratorConfig& config);

// The Dynamic Channel Quality record's fields, in wire order.
DcqReading dcq_from_wire(uint8_t sqi, uint8_t sqi_worst, uint8_t peak_mse, uint8_t peak_mse_worst, uint16_t mse,
                         uint16_t mse_worst);

Converted<CableTestResult> cable_test_from_wire(uint8_t harness_status, uint8_t distance_to_fault);

uint8_t tc10_command_to_wire(Tc10Command command);
Converted<Tc10State> tc10_state_from_wire(uint8_t state);

// Seconds since 1970-01-01 UTC; counts beyond sys_seconds' range are refused.
Converted<std::chrono::sys_seconds> manufacturing_date_from_wire(uint64_t seconds);

}  // namespace tq::wire
