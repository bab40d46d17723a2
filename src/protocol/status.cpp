#include "protocol/status.hpp"

#include <array>
#include <utility>

namespace tq::proto {
namespace {

// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr std::array<std::string_view, 21> kProtocolNames = {
    "TQ_PROTOCOL_STATUS_SUCCESS",
    "TQ_PROTOCOL_STATUS_NOT_IMPLEMENTED",
    "TQ_PROTOCOL_INVALID_POINTER",     // no STATUS in this name
    "TQ_PROTOCOL_UNEXPECTED_COMMAND",  // nor in this one
    "TQ_PROTOCOL_STATUS_STREAM_READ_ERROR",
    "TQ_PROTOCOL_STATUS_STREAM_WRITE_ERROR",
    "TQ_PROTOCOL_STATUS_STREAM_DISCONNECTED",
    "TQ_PROTOCOL_STATUS_STREAM_TIMED_OUT",
    "TQ_PROTOCOL_STATUS_BUFFER_TOO_SMALL",
    "TQ_PROTOCOL_STATUS_PROTOCOL_ERROR",
    "TQ_PROTOCOL_STATUS_SERVICE_API_ERROR",
    "TQ_PROTOCOL_STATUS_UNKNOWN_COMMAND",
    "TQ_PROTOCOL_STATUS_EXCEEDING_STRING_LENGTH_LIMIT",
    "TQ_PROTOCOL_STATUS_PACKET_TRYING_TO_READ_BEYOND_PAYLOAD_SIZE",
    "TQ_PROTOCOL_STATUS_MEMORY_ERROR",
    "TQ_PROTOCOL_STATUS_INVALID_UTF8_STRING",
    "TQ_PROTOCOL_STATUS_NO_DEVICES_FOUND",
    "TQ_PROTOCOL_STATUS_VALUE_OUT_OF_BOUNDS",
    "TQ_PROTOCOL_STATUS_ATTEMPTING_TO_WRITE_OUTSIDE_BUFFER",
    "TQ_PROTOCOL_STATUS_CONVERSION_ERROR",
    "TQ_PROTOCOL_STATUS_UNFAMILIAR_PROTOCOL_VERSION",
};

// Codes 1001..1008: statuses a device reported through an error response.
// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr std::array<std::string_view, 8> kServiceErrorNames = {
    "TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_FAILED",
    "TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_PERMITTED",
    "TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_DEVICE",
    "TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_INTERFACE",
    "TQ_PROTOCOL_STATUS_SERVICE_ERROR_TIMED_OUT",
    "TQ_PROTOCOL_STATUS_SERVICE_ERROR_INVALID_ARGUMENT",
    "TQ_PROTOCOL_STATUS_SERVICE_ERROR_INVALID_INTERFACE",
    "TQ_PROTOCOL_STATUS_SERVICE_ERROR_INVALID_COMBINATION",
};

// Indexed by service status, Max included.
constexpr std::array<std::string_view, 22> kServiceNames = {
    "TQ_SERVICE_STATUS_SUCCESS",
    "TQ_SERVICE_STATUS_NOT_IMPLEMENTED",
    "TQ_SERVICE_STATUS_UNSPECIFIED_ERROR",
    "TQ_SERVICE_STATUS_OPERATION_FAILED",
    "TQ_SERVICE_STATUS_OPERATION_NOT_PERMITTED",
    "TQ_SERVICE_STATUS_OPERATION_NOT_SUPPORTED_BY_DEVICE",
    "TQ_SERVICE_STATUS_OPERATION_NOT_SUPPORTED_BY_INTERFACE",
    "TQ_SERVICE_STATUS_NOT_CONNECTED",
    "TQ_SERVICE_STATUS_SOCKET_READ_ERROR",
    "TQ_SERVICE_STATUS_SOCKET_WRITE_ERROR",
    "TQ_SERVICE_STATUS_TIMED_OUT",
    "TQ_SERVICE_STATUS_UNKNOWN_NETWORK_ERROR",
    "TQ_SERVICE_STATUS_UNABLE_TO_OPEN_SOCKET",
    "TQ_SERVICE_STATUS_BUFFER_TOO_SMALL",
    "TQ_SERVICE_STATUS_EXCEEDING_STRING_LENGTH_LIMIT",
    "TQ_SERVICE_STATUS_INVALID_UTF8",
    "TQ_SERVICE_STATUS_UNABLE_TO_ALLOCATE_MEMORY",
    "TQ_SERVICE_STATUS_INVALID_ARGUMENT",
    "TQ_SERVICE_STATUS_INVALID_INTERFACE",
    "TQ_SERVICE_STATUS_INVALID_COMBINATION",
    "TQ_SERVICE_STATUS_PROTOCOL_ERROR",
    "TQ_SERVICE_STATUS_MAX",
};
static_assert(kServiceNames.size() == static_cast<size_t>(ServiceStatus::Max) + 1);

// Error-response service status -> protocol status; unlisted values give 10.
constexpr std::array<std::pair<ServiceStatus, uint32_t>, 14> kTranslation = {{
    {ServiceStatus::Success, kSuccess},
    {ServiceStatus::NotImplemented, kNotImplemented},
    {ServiceStatus::OperationFailed, kServiceOperationFailed},
    {ServiceStatus::OperationNotPermitted, kServiceOperationNotPermitted},
    {ServiceStatus::NotSupportedByDevice, kServiceNotSupportedByDevice},
    {ServiceStatus::NotSupportedByInterface, kServiceNotSupportedByInterface},
    {ServiceStatus::TimedOut, kServiceTimedOut},
    {ServiceStatus::BufferTooSmall, kBufferTooSmall},
    {ServiceStatus::ExceedingStringLengthLimit, kExceedingStringLengthLimit},
    {ServiceStatus::InvalidUtf8, kInvalidUtf8},
    {ServiceStatus::UnableToAllocateMemory, kMemoryError},
    {ServiceStatus::InvalidArgument, kServiceInvalidArgument},
    {ServiceStatus::InvalidInterface, kServiceInvalidInterface},
    {ServiceStatus::InvalidCombination, kServiceInvalidCombination},
}};
}  // namespace

std::string_view service_status_name(ServiceStatus status) {
    const auto i = static_cast<size_t>(status);
    return i < kServiceNames.size() ? kServiceNames[i] : std::string_view{};
}

std::string_view protocol_status_name(uint32_t status) {
    if (status < kProtocolNames.size()) return kProtocolNames[status];
    if (status >= kServiceOperationFailed && status <= kServiceInvalidCombination)
        return kServiceErrorNames[status - kServiceOperationFailed];
    return "TQ_PROTOCOL_STATUS_RESERVED";
}

uint32_t translate_service_status(ServiceStatus service_status) {
    for (const auto& [service, protocol] : kTranslation)
        if (service == service_status) return protocol;
    return kServiceApiError;
}

}  // namespace tq::proto
