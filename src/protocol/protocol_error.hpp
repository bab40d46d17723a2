// Failure value of the wire layer. It never leaves the client library: the
// client converts it into an Error at the point where it occurs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "protocol/status.hpp"

namespace tq {

using proto::ServiceStatus;

struct ProtocolError {
    enum class Kind : uint8_t {
        CommandNotInVersion,  // kNotImplemented: not in the device's protocol version
        Conversion,           // raw response value without a client counterpart; carries text
        Status,               // any other protocol status; carries status
        Service,              // non-success status field; carries service
        UnfamiliarVersion,    // kUnfamiliarProtocolVersion: a version newer than this client's
        TextDecoding,         // carries text
    };

    Kind kind = Kind::Status;
    uint32_t status = 0;
    ServiceStatus service = ServiceStatus::UnspecifiedError;
    std::string text{};

    static ProtocolError from_status(uint32_t s) {
        if (s == proto::kNotImplemented) return {.kind = Kind::CommandNotInVersion};
        if (s == proto::kUnfamiliarProtocolVersion) return {.kind = Kind::UnfamiliarVersion};
        return {.kind = Kind::Status, .status = s};
    }
    static ProtocolError conversion(std::string t) { return {.kind = Kind::Conversion, .text = std::move(t)}; }
    static ProtocolError text_decoding(std::string t) { return {.kind = Kind::TextDecoding, .text = std::move(t)}; }
    static ProtocolError service_failure(ServiceStatus s) { return {.kind = Kind::Service, .service = s}; }

    bool operator==(const ProtocolError&) const = default;
};

}  // namespace tq
