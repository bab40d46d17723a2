// Protocol status (result of every codec operation, never on the wire) and
// service status (the device's verdict, a u16 on the wire), with their names.
#pragma once

#include <cstdint>
#include <string_view>

namespace tq::proto {

// Protocol status codes.
enum : uint32_t {
    kSuccess = 0,
    kNotImplemented = 1,
    kInvalidPointer = 2,
    kUnexpectedCommand = 3,
    kStreamReadError = 4,
    kStreamWriteError = 5,
    kStreamDisconnected = 6,
    kStreamTimedOut = 7,
    kBufferTooSmall = 8,
    kProtocolError = 9,
    kServiceApiError = 10,
    kUnknownCommand = 11,
    kExceedingStringLengthLimit = 12,
    kReadBeyondPayload = 13,
    kMemoryError = 14,
    kInvalidUtf8 = 15,
    kNoDevicesFound = 16,
    kValueOutOfBounds = 17,
    kWriteOutsideBuffer = 18,
    kConversionError = 19,
    kUnfamiliarProtocolVersion = 20,
    kServiceOperationFailed = 1001,
    kServiceOperationNotPermitted = 1002,
    kServiceNotSupportedByDevice = 1003,
    kServiceNotSupportedByInterface = 1004,
    kServiceTimedOut = 1005,
    kServiceInvalidArgument = 1006,
    kServiceInvalidInterface = 1007,
    kServiceInvalidCombination = 1008,
};

// The device's verdict on a request, a u16 on the wire: a response's status
// field, or the whole payload of the error response. Every u16 is a valid
// value here; the ones above Max name nothing.
enum class ServiceStatus : uint16_t {
    Success = 0,
    NotImplemented = 1,
    UnspecifiedError = 2,
    OperationFailed = 3,
    OperationNotPermitted = 4,
    NotSupportedByDevice = 5,
    NotSupportedByInterface = 6,
    NotConnected = 7,
    SocketReadError = 8,
    SocketWriteError = 9,
    TimedOut = 10,
    UnknownNetworkError = 11,
    UnableToOpenSocket = 12,
    BufferTooSmall = 13,
    ExceedingStringLengthLimit = 14,
    InvalidUtf8 = 15,
    UnableToAllocateMemory = 16,
    InvalidArgument = 17,
    InvalidInterface = 18,
    InvalidCombination = 19,
    ProtocolError = 20,
    Max = 21,
};

inline constexpr uint16_t kErrorResponse = 0xBAAD;

// "TQ_PROTOCOL_STATUS_RESERVED" for codes the table does not list.
std::string_view protocol_status_name(uint32_t status);
// "TQ_SERVICE_STATUS_SUCCESS" and so on; "TQ_SERVICE_STATUS_MAX" for 21 and
// an empty view for the values above, which name nothing.
std::string_view service_status_name(ServiceStatus status);
// The protocol status an error response's service status stands for (total).
uint32_t translate_service_status(ServiceStatus service_status);

}  // namespace tq::proto
