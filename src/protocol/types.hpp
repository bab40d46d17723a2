// Value types and enumerations shared by the wire protocol, the device client
// and the Python module. The integer values are the client's own; the wire
// codings differ for some of them (see codec.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tq {

enum class EthLinkSpeed : uint8_t {
    Speed10MbitFullDuplex = 0,
    Speed10MbitHalfDuplex = 1,
    Speed100MbitFullDuplex = 2,
    Speed100MbitHalfDuplex = 3,
    Speed1000MbitFullDuplex = 4,
    Speed1000MbitHalfDuplex = 5,
};
enum class EthRole : uint8_t { Leader = 0, LeaderPreferred = 1, Follower = 2, FollowerPreferred = 3 };
enum class EthAnegMode : uint8_t { AnegDisabled = 0, IEEEAnegEnabled = 1 };
enum class EthLinkState : uint8_t { Up = 0, Down = 1 };
enum class Tc10State : uint8_t { Normal = 0, Sleep = 1, SleepFailed = 2, SleepAborted = 3 };
enum class Tc10Command : uint8_t { WakeUp = 0, Sleep = 1 };
enum class InterfaceType : uint8_t { T1 = 0, T = 1 };
enum class PgPayloadSize : uint8_t { Size64 = 0, Size1518 = 1 };
// Enumeration order: OnlyOnes before OnlyZeroes. The wire has them the other way round.
enum class PgPayloadType : uint8_t { PseudoRandom = 0, Alternating = 1, OnlyOnes = 2, OnlyZeroes = 3 };
enum class PgPacketValidity : uint8_t { GoodCrc = 0, SymbolErrorsBadCrc = 1 };
enum class FirmwareUpdateResult : uint8_t {
    Success = 0,
    TransferError = 1,
    FirmwareFailedSignatureCheck = 2,
    FirmwareCorrupt = 3,
    FirmwareForOtherDevice = 4,
    UnknownError = 5,
};
enum class CableTestHarnessStatus : uint8_t { CableOpen = 0, CableShorted = 1, CableGood = 2 };

struct EthInterfaceConfig {
    std::vector<EthRole> role;
    std::vector<EthLinkSpeed> speed;
    EthAnegMode aneg_mode = EthAnegMode::AnegDisabled;
    bool operator==(const EthInterfaceConfig&) const = default;
};

struct PacketGeneratorConfig {
    bool enabled = false;
    PgPayloadSize payload_size = PgPayloadSize::Size64;
    PgPayloadType payload_type = PgPayloadType::PseudoRandom;
    PgPacketValidity validity = PgPacketValidity::GoodCrc;
    uint8_t burst_size = 0;  // 0 means continuous
    bool operator==(const PacketGeneratorConfig&) const = default;
};

struct EthInterfaceStatus {
    EthLinkState link_state = EthLinkState::Down;
    EthRole role = EthRole::Follower;
    EthLinkSpeed speed = EthLinkSpeed::Speed10MbitFullDuplex;
    bool operator==(const EthInterfaceStatus&) const = default;
};

struct InterfaceStatus {
    InterfaceType interface_type = InterfaceType::T;
    EthInterfaceStatus eth_interface_status;
    bool operator==(const InterfaceStatus&) const = default;
};

struct DcqReading {
    uint8_t sqi = 0;
    uint8_t sqi_worst = 0;
    uint16_t mse = 0;
    uint16_t mse_worst = 0;
    uint8_t peak_mse = 0;
    uint8_t peak_mse_worst = 0;
    bool operator==(const DcqReading&) const = default;
};

struct CableTestResult {
    CableTestHarnessStatus harness_status = CableTestHarnessStatus::CableOpen;
    uint32_t distance_to_fault = 0;
    bool operator==(const CableTestResult&) const = default;
};

// Names and docstrings of each enumeration, indexed by value. The Python
// module, the command-line tool and the tests read these tables; nothing else
// spells a member name.
template <class E>
struct EnumInfo;

#define TQ_ENUM_INFO(E, DOC, ...)                                                   \
    template <>                                                                     \
    struct EnumInfo<E> {                                                            \
        static constexpr std::string_view name = #E;                                \
        static constexpr std::string_view doc = DOC;                                \
        static constexpr auto members = std::to_array<std::string_view>({__VA_ARGS__}); \
    };

// Fixed texts: callers match on them; keep verbatim, misspellings included.
TQ_ENUM_INFO(EthLinkSpeed, "The ethernet link speed", "Speed10MbitFullDuplex", "Speed10MbitHalfDuplex",
             "Speed100MbitFullDuplex", "Speed100MbitHalfDuplex", "Speed1000MbitFullDuplex",
             "Speed1000MbitHalfDuplex")
TQ_ENUM_INFO(EthRole, "The ethernet role", "Leader", "LeaderPreferred", "Follower", "FollowerPreferred")
TQ_ENUM_INFO(EthAnegMode, "The ethernet auto negotiation mode", "AnegDisabled", "IEEEAnegEnabled")
TQ_ENUM_INFO(EthLinkState, "The ethernet link state", "Up", "Down")
TQ_ENUM_INFO(Tc10State, "Possible TC10 states", "Normal", "Sleep", "SleepFailed", "SleepAborted")
TQ_ENUM_INFO(Tc10Command, "Available TC10 commands", "WakeUp", "Sleep")
TQ_ENUM_INFO(InterfaceType, "The interface type", "T1", "T")
TQ_ENUM_INFO(PgPayloadSize, "Packet Generator Paylad Size", "Size64", "Size1518")
TQ_ENUM_INFO(PgPayloadType, "Packet Generator Paylad Type", "PseudoRandom", "Alternating", "OnlyOnes",
             "OnlyZeroes")
TQ_ENUM_INFO(PgPacketValidity, "Packet Generator Packet Validity", "GoodCrc", "SymbolErrorsBadCrc")
TQ_ENUM_INFO(FirmwareUpdateResult, "Result of firmware update", "Success", "TransferError",
             "FirmwareFailedSignatureCheck", "FirmwareCorrupt", "FirmwareForOtherDevice", "UnknownError")
TQ_ENUM_INFO(CableTestHarnessStatus, "Cable test harness status", "CableOpen", "CableShorted", "CableGood")

#undef TQ_ENUM_INFO

template <class E>
constexpr std::string_view enum_name(E value) {
    const auto i = static_cast<size_t>(value);
    return i < EnumInfo<E>::members.size() ? EnumInfo<E>::members[i] : std::string_view{"?"};
}

}  // namespace tq
