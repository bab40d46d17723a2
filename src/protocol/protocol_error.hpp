// Failure value of the wire layer. It never leaves the client library: the
// client converts it into an Error at the point where it occurs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tq {

// Device-reported outcome carried in a response's status field (a u16 on the
// wire). 0 is success; every value, named or not, is representable.
struct ServiceStatus {
    uint16_t value = 2;
    constexpr bool ok() const { return value == 0; }
    friend constexpr bool operator==(ServiceStatus, ServiceStatus) = default;
};

struct ProtocolError {
    enum class Kind : uint8_t {
        CommandNotInVersion,  // protocol status 1
        Conversion,           // raw response value without a client counterpart; carries text
        Status,               // any other protocol status; carries status
        Service,              // non-success status field reported by the decoder; carries service
        UnfamiliarVersion,    // protocol status 20
        TextDecoding,         // carries text
    };

    Kind kind = Kind::Status;
    uint32_t status = 0;
    ServiceStatus service{};
    std::string text;

    static ProtocolError from_status(uint32_t s) {
        if (s == 1) return {Kind::CommandNotInVersion, 0, {}, {}};
        if (s == 20) return {Kind::UnfamiliarVersion, 0, {}, {}};
        return {Kind::Status, s, {}, {}};
    }
    static ProtocolError conversion(std::string t) { return {Kind::Conversion, 0, {}, std::move(t)}; }
    static ProtocolError text_decoding(std::string t) { return {Kind::TextDecoding, 0, {}, std::move(t)}; }
    static ProtocolError service_failure(ServiceStatus s) { return {Kind::Service, 0, s, {}}; }

    bool operator==(const ProtocolError&) const = default;
};

}  // namespace tq
