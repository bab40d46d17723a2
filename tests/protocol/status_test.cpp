// The protocol-status names and the error-response translation.
#include "protocol/status.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tq::proto {
namespace {

TEST(ProtocolStatusName, every_listed_code) {
    struct Case {
        uint32_t code;
        const char* name;
    };
    const Case cases[] = {
        {0, "TQ_PROTOCOL_STATUS_SUCCESS"},
        {1, "TQ_PROTOCOL_STATUS_NOT_IMPLEMENTED"},
        {2, "TQ_PROTOCOL_INVALID_POINTER"},
        {3, "TQ_PROTOCOL_UNEXPECTED_COMMAND"},
        {4, "TQ_PROTOCOL_STATUS_STREAM_READ_ERROR"},
        {5, "TQ_PROTOCOL_STATUS_STREAM_WRITE_ERROR"},
        {6, "TQ_PROTOCOL_STATUS_STREAM_DISCONNECTED"},
        {7, "TQ_PROTOCOL_STATUS_STREAM_TIMED_OUT"},
        {8, "TQ_PROTOCOL_STATUS_BUFFER_TOO_SMALL"},
        {9, "TQ_PROTOCOL_STATUS_PROTOCOL_ERROR"},
        {10, "TQ_PROTOCOL_STATUS_SERVICE_API_ERROR"},
        {11, "TQ_PROTOCOL_STATUS_UNKNOWN_COMMAND"},
        {12, "TQ_PROTOCOL_STATUS_EXCEEDING_STRING_LENGTH_LIMIT"},
        {13, "TQ_PROTOCOL_STATUS_PACKET_TRYING_TO_READ_BEYOND_PAYLOAD_SIZE"},
        {14, "TQ_PROTOCOL_STATUS_MEMORY_ERROR"},
        {15, "TQ_PROTOCOL_STATUS_INVALID_UTF8_STRING"},
        {16, "TQ_PROTOCOL_STATUS_NO_DEVICES_FOUND"},
        {17, "TQ_PROTOCOL_STATUS_VALUE_OUT_OF_BOUNDS"},
        {18, "TQ_PROTOCOL_STATUS_ATTEMPTING_TO_WRITE_OUTSIDE_BUFFER"},
        {19, "TQ_PROTOCOL_STATUS_CONVERSION_ERROR"},
        {20, "TQ_PROTOCOL_STATUS_UNFAMILIAR_PROTOCOL_VERSION"},
        {1001, "TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_FAILED"},
        {1002, "TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_PERMITTED"},
        {1003, "TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_DEVICE"},
        {1004, "TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_INTERFACE"},
        {1005, "TQ_PROTOCOL_STATUS_SERVICE_ERROR_TIMED_OUT"},
        {1006, "TQ_PROTOCOL_STATUS_SERVICE_ERROR_INVALID_ARGUMENT"},
        {1007, "TQ_PROTOCOL_STATUS_SERVICE_ERROR_INVALID_INTERFACE"},
        {1008, "TQ_PROTOCOL_STATUS_SERVICE_ERROR_INVALID_COMBINATION"},
    };
    for (const Case& c : cases) EXPECT_EQ(protocol_status_name(c.code), c.name) << c.code;
}

TEST(ProtocolStatusName, unlisted_codes_are_reserved) {
    for (const uint32_t code : {21u, 500u, 1000u, 1009u, 0xFFFFFFFFu})
        EXPECT_EQ(protocol_status_name(code), "TQ_PROTOCOL_STATUS_RESERVED") << code;
}

TEST(ServiceStatusTranslation, every_value_up_to_25_and_beyond) {
    const uint32_t expected[] = {0, 1,  10, 1001, 1002, 1003, 1004, 10, 10, 10, 1005, 10, 10,
                                 8, 12, 15, 14,   1006, 1007, 1008, 10, 10, 10, 10,   10, 10};
    for (uint16_t s = 0; s <= 25; ++s) EXPECT_EQ(translate_service_status(ServiceStatus{s}), expected[s]) << s;
    EXPECT_EQ(translate_service_status(ServiceStatus{0xFFFF}), kServiceApiError);
}

}  // namespace
}  // namespace tq::proto
