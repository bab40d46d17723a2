#include "protocol/wire_values.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "protocol/packet.hpp"

namespace tq::wire {
namespace {

tl::unexpected<ProtocolError> conversion(std::string text) {
    return tl::unexpected(ProtocolError::conversion(std::move(text)));
}

// Indexed by EthLinkSpeed: the speed bit and the duplex bit of each.
constexpr std::array<uint16_t, 6> kSpeedMasks = {
    mode::k10Mbit | mode::kFullDuplex,  mode::k10Mbit | mode::kHalfDuplex,   mode::k100Mbit | mode::kFullDuplex,
    mode::k100Mbit | mode::kHalfDuplex, mode::k1000Mbit | mode::kFullDuplex, mode::k1000Mbit | mode::kHalfDuplex,
};

// Speed bits in the order a decoded speed list lists them, with the full- and
// half-duplex speed each stands for.
struct SpeedBit {
    uint16_t bit;
    EthLinkSpeed full, half;
};
constexpr std::array<SpeedBit, 3> kSpeedBits = {{
    {mode::k10Mbit, EthLinkSpeed::Speed10MbitFullDuplex, EthLinkSpeed::Speed10MbitHalfDuplex},
    {mode::k100Mbit, EthLinkSpeed::Speed100MbitFullDuplex, EthLinkSpeed::Speed100MbitHalfDuplex},
    {mode::k1000Mbit, EthLinkSpeed::Speed1000MbitFullDuplex, EthLinkSpeed::Speed1000MbitHalfDuplex},
}};

constexpr bool both_duplex(uint16_t bits) {
    return (bits & mode::kFullDuplex) && (bits & mode::kHalfDuplex);
}
// Fixed texts, here and in the conversions below: callers match on them; keep
// verbatim, misspellings included.
constexpr const char* kBothDuplex = "Unable to convert both full and half duplex at the same time";

// The interface type byte of the status record: 0 T1, 1 reserved, 2 (and
// anything above) T. The reserved type is reported by its protocol name.
constexpr uint8_t kT1InterfaceType = 0;
constexpr uint8_t kReservedInterfaceType = 1;
constexpr std::string_view kReservedInterfaceTypeName = "_TQ_INTERFACE_RESERVED_1";

constexpr uint16_t role_bit(EthRole role) {
    return role == EthRole::Leader || role == EthRole::LeaderPreferred ? mode::kLeader : mode::kFollower;
}

// The payload type's wire order differs from the enumeration's: wire 2 is
// OnlyZeroes and wire 3 OnlyOnes. Indexed by wire value.
constexpr std::array<PgPayloadType, 4> kWirePayloadTypes = {PgPayloadType::PseudoRandom, PgPayloadType::Alternating,
                                                            PgPayloadType::OnlyZeroes, PgPayloadType::OnlyOnes};

uint8_t payload_type_to_wire(PgPayloadType type) {
    const auto it = std::find(kWirePayloadTypes.begin(), kWirePayloadTypes.end(), type);
    return static_cast<uint8_t>(it - kWirePayloadTypes.begin());
}

}  // namespace

Converted<std::string> text_from_field(std::span<const char> field) {
    const auto nul = std::find(field.begin(), field.end(), '\0');
    if (nul == field.end()) return tl::unexpected(ProtocolError::text_decoding("Failed to decode utf-8 from bytes"));
    const std::string_view text{field.data(), static_cast<size_t>(nul - field.begin())};
    if (!proto::is_valid_utf8(text))
        return tl::unexpected(ProtocolError::text_decoding("Failed to convert cstring to native String"));
    return std::string{text};
}

uint16_t mode_bits_from_config(const EthInterfaceConfig& config) {
    uint16_t bits = 0;
    for (const EthLinkSpeed speed : config.speed) {
        const auto i = static_cast<size_t>(speed);
        if (i < kSpeedMasks.size()) bits |= kSpeedMasks[i];
    }
    for (const EthRole role : config.role) bits |= role_bit(role);
    if (config.aneg_mode == EthAnegMode::IEEEAnegEnabled) bits |= mode::kAneg;
    return bits;
}

Converted<EthInterfaceConfig> config_from_mode_bits(uint16_t bits) {
    if (both_duplex(bits)) return conversion(kBothDuplex);
    EthInterfaceConfig config;
    const bool full = bits & mode::kFullDuplex;
    for (const SpeedBit& s : kSpeedBits)
        if (bits & s.bit) config.speed.push_back(full ? s.full : s.half);
    if (bits & mode::kLeader) config.role.push_back(EthRole::Leader);
    if (bits & mode::kFollower) config.role.push_back(EthRole::Follower);
    config.aneg_mode = bits & mode::kAneg ? EthAnegMode::IEEEAnegEnabled : EthAnegMode::AnegDisabled;
    return config;
}

Converted<EthLinkSpeed> link_speed_from_mode_bits(uint16_t bits) {
    if (both_duplex(bits)) return conversion(kBothDuplex);
    // The half-duplex bit is not needed: no full-duplex bit means half duplex.
    const bool full = bits & mode::kFullDuplex;
    for (const SpeedBit& s : kSpeedBits)
        if (bits & s.bit) return full ? s.full : s.half;
    return conversion("Missing valid speed");
}

Converted<InterfaceStatus> interface_status_from_wire(uint8_t type, uint8_t /*ignored*/, uint16_t mode_bits,
                                                      uint8_t link_state) {
    if (type == kReservedInterfaceType)
        return conversion("Encountered unknown interface type " + std::string{kReservedInterfaceTypeName});
    InterfaceStatus status;
    status.interface_type = type == kT1InterfaceType ? InterfaceType::T1 : InterfaceType::T;
    auto speed = link_speed_from_mode_bits(mode_bits);
    if (!speed) return tl::unexpected(std::move(speed.error()));
    status.eth_interface_status.speed = *speed;
    switch (link_state) {
        case 0:
            status.eth_interface_status.link_state = EthLinkState::Down;
            break;
        case 1:
            status.eth_interface_status.link_state = EthLinkState::Up;
            break;
        default:
            return conversion("Failed to convert tq_eth_link_state_t to EthLinkState");
    }
    status.eth_interface_status.role = mode_bits & mode::kLeader ? EthRole::Leader : EthRole::Follower;
    return status;
}

Converted<PacketGeneratorConfig> pg_config_from_wire(uint8_t payload_size, uint8_t payload_type, uint8_t validity,
                                                     uint8_t burst_size, bool enabled) {
    PacketGeneratorConfig config;
    if (!enabled) return config;  // the off configuration; the other bytes mean nothing then
    if (payload_size > 1) return conversion("Failed to convert " + std::to_string(payload_size) + " to payload size ");
    if (payload_type >= kWirePayloadTypes.size())
        return conversion("Failed to convert " + std::to_string(payload_type) + " to payload type ");
    if (validity > 1) return conversion("Failed to convert " + std::to_string(validity) + " to packet validity");
    config.enabled = true;
    config.payload_size = static_cast<PgPayloadSize>(payload_size);
    config.payload_type = kWirePayloadTypes[payload_type];
    config.validity = static_cast<PgPacketValidity>(validity);
    config.burst_size = burst_size;
    return config;
}

PgRecord pg_config_to_wire(const PacketGeneratorConfig& config) {
    if (!config.enabled) return {0, 1, 0, 0, false};  // whatever the other fields hold
    return {static_cast<uint8_t>(config.payload_size), payload_type_to_wire(config.payload_type),
            static_cast<uint8_t>(config.validity), config.burst_size, true};
}

DcqReading dcq_from_wire(uint8_t sqi, uint8_t sqi_worst, uint8_t peak_mse, uint8_t peak_mse_worst, uint16_t mse,
                         uint16_t mse_worst) {
    DcqReading d;
    d.sqi = sqi;
    d.sqi_worst = sqi_worst;
    d.mse = mse;
    d.mse_worst = mse_worst;
    d.peak_mse = peak_mse;
    d.peak_mse_worst = peak_mse_worst;
    return d;
}

Converted<CableTestResult> cable_test_from_wire(uint8_t harness_status, uint8_t distance_to_fault) {
    if (harness_status > 2) return conversion("Encountered invalid harness status");
    return CableTestResult{static_cast<CableTestHarnessStatus>(harness_status), distance_to_fault};
}

uint8_t tc10_command_to_wire(Tc10Command command) {
    // The wire has 1 for WakeUp and 0 for Sleep, the enumeration the reverse.
    return static_cast<uint8_t>(static_cast<uint8_t>(command) ^ 1u);
}

Converted<Tc10State> tc10_state_from_wire(uint8_t state) {
    if (state >= EnumInfo<Tc10State>::members.size())
        return conversion("Failed to convert " + std::to_string(state) + " to Tc10State");
    return static_cast<Tc10State>(state);
}

Converted<std::chrono::sys_seconds> manufacturing_date_from_wire(uint64_t seconds) {
    using Rep = std::chrono::sys_seconds::rep;
    if (seconds > static_cast<uint64_t>(std::numeric_limits<Rep>::max()))
        return conversion("Manufacturing date out of range");
    return std::chrono::sys_seconds{std::chrono::seconds{static_cast<Rep>(seconds)}};
}

}  // namespace tq::wire
