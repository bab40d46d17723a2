#include "client/error.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "protocol/status.hpp"

namespace tq {
namespace {

using K = Error::Kind;

// Captures what is written to file descriptor 1 while alive.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = ::dup(STDOUT_FILENO);
        ::dup2(::fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }
    std::string text() {
        restore();
        std::string out;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) out += static_cast<char>(c);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

TEST(ErrorDebugText, EveryVariantInDeclarationOrder) {
    const std::vector<std::pair<K, std::string>> expected = {
        {K::ApiError, "ApiError(\"t\")"},
        {K::ApiNotAvailableInProtocolVersion, "ApiNotAvailableInProtocolVersion"},
        {K::ClientSoftwareTooOldForDevice, "ClientSoftwareTooOldForDevice"},
        {K::ConnectionError, "ConnectionError"},
        {K::DeviceDiscoveryError, "DeviceDiscoveryError(\"t\")"},
        {K::FailedToAquireLock, "FailedToAquireLock"},
        {K::FileOpenError, "FileOpenError(\"t\")"},
        {K::FileReadError, "FileReadError(\"t\")"},
        {K::NetworkError, "NetworkError"},
        {K::NotImplemented, "NotImplemented"},
        {K::RemoteOperationFailed, "RemoteOperationFailed"},
        {K::RemoteOperationNotPermitted, "RemoteOperationNotPermitted"},
        {K::RemoteOperationNotSupportedByDevice, "RemoteOperationNotSupportedByDevice"},
        {K::RemoteOperationNotSupportedByInterface, "RemoteOperationNotSupportedByInterface"},
        {K::TcpStreamWriteError, "TcpStreamWriteError(\"t\")"},
        {K::TcpStreamReadError, "TcpStreamReadError(\"t\")"},
        {K::Utf8Error, "Utf8Error(\"t\")"},
    };
    ASSERT_EQ(expected.size(), Error::kKindCount);
    for (size_t tag = 0; tag < expected.size(); ++tag) {
        const auto& [kind, text] = expected[tag];
        EXPECT_EQ(static_cast<size_t>(kind), tag);
        EXPECT_EQ(Error(kind, "t").debug_text(), text);
    }
}

TEST(ErrorDebugText, TextIsDroppedForVariantsWithoutPayload) {
    const Error e(K::NetworkError, "ignored");
    EXPECT_FALSE(e.has_text());
    EXPECT_EQ(e.text(), "");
    EXPECT_EQ(e.debug_text(), "NetworkError");
}

struct EscapeCase {
    std::string input;
    std::string expected;
};

class ErrorEscaping : public testing::TestWithParam<EscapeCase> {};

TEST_P(ErrorEscaping, QuotesLikeTheDebugFormat) {
    EXPECT_EQ(Error(K::ApiError, GetParam().input).debug_text(), "ApiError(\"" + GetParam().expected + "\")");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorEscaping,
    testing::Values(
        EscapeCase{"plain text", "plain text"}, EscapeCase{"say \"hi\"", "say \\\"hi\\\""},
        EscapeCase{"back\\slash", "back\\\\slash"}, EscapeCase{"it's", "it's"},
        EscapeCase{"a\tb\rc\nd", "a\\tb\\rc\\nd"}, EscapeCase{std::string("nul\0x", 5), "nul\\0x"},
        EscapeCase{"\x01\x1f\x7f", "\\u{1}\\u{1f}\\u{7f}"},
        EscapeCase{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        // U+00A0 no-break space (Zs), U+200B zero width space (Cf), U+2028 (Zl), U+2029 (Zp)
        EscapeCase{"\xc2\xa0|\xe2\x80\x8b|\xe2\x80\xa8|\xe2\x80\xa9", "\\u{a0}|\\u{200b}|\\u{2028}|\\u{2029}"},
        // U+E000 private use (Co), U+0378 unassigned (Cn), U+0085 (Cc)
        EscapeCase{"\xee\x80\x80\xcd\xb8\xc2\x85", "\\u{e000}\\u{378}\\u{85}"},
        // combining acute accent (Mn) is printable and stays
        EscapeCase{"e\xcc\x81", "e\xcc\x81"}));

TEST(ErrorFromProtocol, maps_each_kind_of_wire_failure) {
    EXPECT_EQ(Error::from_protocol(ProtocolError::from_status(1)).kind(), K::ApiNotAvailableInProtocolVersion);
    EXPECT_EQ(Error::from_protocol(ProtocolError::from_status(20)).kind(), K::ClientSoftwareTooOldForDevice);
    EXPECT_EQ(Error::from_protocol(ProtocolError::from_status(9)).debug_text(),
              "ApiError(\"An error ocurred in the protocol \\\"TQ_PROTOCOL_STATUS_PROTOCOL_ERROR\\\"\")");
    EXPECT_EQ(Error::from_protocol(ProtocolError::from_status(500)).text(),
              "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_RESERVED\"");
    // Statuses a device reported through an error response stay ApiError.
    EXPECT_EQ(
        Error::from_protocol(ProtocolError::from_status(1003)).text(),
        "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_DEVICE\"");
    EXPECT_EQ(Error::from_protocol(ProtocolError::text_decoding("Failed to decode utf-8 from bytes")),
              Error(K::Utf8Error, "Failed to decode utf-8 from bytes"));
    EXPECT_EQ(Error::from_protocol(ProtocolError::service_failure(ServiceStatus::NotSupportedByInterface)).kind(),
              K::RemoteOperationNotSupportedByInterface);
}

TEST(ErrorFromProtocol, ConversionWritesOneLineToFdOneFirst) {
    StdoutCapture capture;
    const Error e = Error::from_protocol(ProtocolError::conversion("Missing valid speed"));
    EXPECT_EQ(capture.text(), "Conversion error not implemented, Missing valid speed\n");
    EXPECT_EQ(e.kind(), K::NotImplemented);
    EXPECT_EQ(e.debug_text(), "NotImplemented");
}

TEST(ErrorFromService, service_status_mapping) {
    const std::vector<std::pair<uint16_t, Error>> cases = {
        {2, Error(K::ApiError, "Encountered an unspecified error")},
        {3, Error(K::RemoteOperationFailed)},
        {5, Error(K::RemoteOperationNotSupportedByDevice)},
        {6, Error(K::RemoteOperationNotSupportedByInterface)},
        {1, Error(K::RemoteOperationNotSupportedByDevice)},
        {4, Error(K::RemoteOperationNotSupportedByDevice)},
        {19, Error(K::RemoteOperationNotSupportedByDevice)},
        {21, Error(K::RemoteOperationNotSupportedByDevice)},
        {500, Error(K::RemoteOperationNotSupportedByDevice)},
    };
    for (const auto& [status, expected] : cases) {
        EXPECT_EQ(Error::from_service(ServiceStatus{status}), expected) << status;
        // The same outcome whether the decoder or the operation converts it.
        EXPECT_EQ(Error::from_protocol(ProtocolError::service_failure(ServiceStatus{status})), expected) << status;
    }
    EXPECT_EQ(Error::from_service(ServiceStatus::UnspecifiedError).debug_text(),
              "ApiError(\"Encountered an unspecified error\")");
}

TEST(WriteStdoutLine, KeepsOrderWithBufferedStdout) {
    StdoutCapture capture;
    std::printf("buffered ");
    write_stdout_line("direct");
    EXPECT_EQ(capture.text(), "buffered direct\n");
}

}  // namespace
}  // namespace tq
