#include "protocol/status.hpp"

#include <array>
#include <string>
#include <utility>

namespace tq::proto {
namespace {

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

// Error-response service status -> protocol status; unlisted values give 10.
constexpr std::array<std::pair<uint16_t, uint32_t>, 14> kTranslation = {{
    {0, kSuccess},
    {1, kNotImplemented},
    {3, kServiceOperationFailed},
    {4, kServiceOperationNotPermitted},
    {5, kServiceNotSupportedByDevice},
    {6, kServiceNotSupportedByInterface},
    {10, kServiceTimedOut},
    {13, kBufferTooSmall},
    {14, kExceedingStringLengthLimit},
    {15, kInvalidUtf8},
    {16, kMemoryError},
    {17, kServiceInvalidArgument},
    {18, kServiceInvalidInterface},
    {19, kServiceInvalidCombination},
}};

// Name stems of the request/response pairs 1/2 .. 81/82, indexed by
// (request code - 1) / 2. Codes 83 and above have no names.
constexpr std::array<std::string_view, 41> kCommandStems = {
    "GET_VERSION",
    "DEVICE_GET_NAME",
    "DEVICE_SET_NICKNAME",
    "IDENTIFY_DEVICE",
    "GET_FIRMWARE_EAN",
    "GET_FEATURE_EAN",
    "GET_NUM_INTERFACES",
    "INTERFACE_GET_NICKNAME",
    "INTERFACE_SET_NICKNAME",
    "GET_INTERFACE_STATUS",
    "IDENTIFY_INTERFACE",
    "GET_SUPPORTED_ETH_INTERFACE_MODES",
    "SET_ETH_INTERFACE_MODE",
    "GET_ETH_INTERFACE_MODE",
    "GET_SERIAL_NUMBER",
    "GET_FIRMWARE_VERSION_INT",  // both names carry a _REMOVED suffix
    "GET_FIRMWARE_VERSION",
    "GET_MANUFACTURING_DATE_STRING",
    "GET_BOOTLOADER_VERSION",
    "GET_EAN",
    "GET_PCB_REVISION",
    "SET_LED_TEST_MODE",
    "CLEAR_LED_TEST_MODE",
    "REBOOT_DEVICE",
    "UPDATE_FIRMWARE_START",
    "UPDATE_FIRMWARE_SEND_CHUNK",
    "UPDATE_FIRMWARE_FINALIZE",
    "READ_VOLTAGES",
    "SET_USB_POWER_OUT",
    "SET_USB_POWER_IN",
    "SET_SERIAL_NUMBER",
    "GET_BRAND_EAN",
    "SET_BRAND_EAN",
    "SET_PRODUCT_EAN",
    "GET_MANUFACTURING_DATE",
    "SET_MANUFACTURING_DATE",
    "SET_PCB_REVISION",
    "FACTORY_RESET",
    "INTERFACE_SEND_TC10_COMMAND",
    "INTERFACE_GET_TC10_STATE",
    "DEVICE_GET_NICKNAME",
};

constexpr uint16_t kLastNamedCommand = 82;
constexpr uint16_t kRemovedRequest = 31;

// Built once: "TQ_PROTOCOL_COMMAND_" + stem + "_REQUEST"/"_RESPONSE" (+ "_REMOVED").
struct CommandNames {
    std::array<std::string, kLastNamedCommand + 1> names;
    CommandNames() {
        names[0] = "TQ_PROTOCOL_COMMAND_INVALID_COMMAND";
        for (uint16_t code = 1; code <= kLastNamedCommand; ++code) {
            const bool request = code % 2 == 1;
            const uint16_t req = request ? code : code - 1;
            std::string name = "TQ_PROTOCOL_COMMAND_";
            name += kCommandStems[(req - 1) / 2];
            name += request ? "_REQUEST" : "_RESPONSE";
            if (req == kRemovedRequest) name += "_REMOVED";
            names[code] = std::move(name);
        }
    }
};

}  // namespace

std::string_view protocol_status_name(uint32_t status) {
    if (status < kProtocolNames.size()) return kProtocolNames[status];
    if (status >= kServiceOperationFailed && status <= kServiceInvalidCombination)
        return kServiceErrorNames[status - kServiceOperationFailed];
    return "TQ_PROTOCOL_STATUS_RESERVED";
}

std::string_view service_status_name(uint16_t status) {
    return status < kServiceNames.size() ? kServiceNames[status] : std::string_view{"TQ_SERVICE_STATUS_UNKNOWN"};
}

uint32_t translate_service_status(uint16_t service_status) {
    for (const auto& [service, protocol] : kTranslation)
        if (service == service_status) return protocol;
    return kServiceApiError;
}

std::string_view command_name(uint16_t command) {
    static const CommandNames table;
    if (command <= kLastNamedCommand) return table.names[command];
    return "Unknown tq_protocol_command_t";
}

std::string_view interface_type_name(uint8_t type) {
    switch (type) {
        case 0: return "TQ_INTERFACE_T1";
        case 1: return "_TQ_INTERFACE_RESERVED_1";
        case 2: return "TQ_INTERFACE_T";
        default: return "Unknown tq_interface_t";
    }
}

}  // namespace tq::proto
