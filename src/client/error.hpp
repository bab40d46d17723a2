// The client library's only failure value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <tl/expected.hpp>

#include "protocol/protocol_error.hpp"

namespace tq {

class Error {
public:
    // Declaration order is the tag order; the Python boundary and the debug
    // text depend on it. "Aquire" is the published spelling.
    // Fixed texts: callers match on them; keep verbatim, misspellings included.
    enum class Kind : uint8_t {
        ApiError,
        ApiNotAvailableInProtocolVersion,
        ClientSoftwareTooOldForDevice,
        ConnectionError,  // the device was closed (Device::close); nothing was sent
        DeviceDiscoveryError,
        FailedToAquireLock,
        FileOpenError,
        FileReadError,
        NetworkError,
        NotImplemented,
        RemoteOperationFailed,
        RemoteOperationNotPermitted,
        RemoteOperationNotSupportedByDevice,
        RemoteOperationNotSupportedByInterface,
        TcpStreamWriteError,
        TcpStreamReadError,
        Utf8Error,
    };
    static constexpr size_t kKindCount = 17;

    // For variants without text; the text is ignored for them.
    explicit Error(Kind kind, std::string text = {});

    Kind kind() const { return kind_; }
    // Empty for variants without a payload.
    const std::string& text() const { return text_; }
    bool has_text() const { return kind_has_text(kind_); }

    // The operating system's error number behind a failure to reach or talk
    // to a device, 0 when there is none: for NetworkError why the last
    // connect attempt failed; for TcpStreamReadError and TcpStreamWriteError
    // why the transfer (or the reconnect before it) failed: ETIMEDOUT when
    // the device did not answer or take the request in time, ECONNRESET when
    // it closed the connection, EINTR when the thread's interrupt check
    // stopped the wait. Only for callers that explain or sort the failure:
    // debug_text() never shows it.
    int os_error() const { return os_error_; }
    Error&& with_os_error(int os_error) && {
        os_error_ = os_error;
        return std::move(*this);
    }
    // Why, where the variant's fixed text cannot say it (a reconnect that
    // failed before the request was sent, say), for callers that explain the
    // failure; empty otherwise. debug_text() never shows it either.
    const std::string& detail() const { return detail_; }
    Error&& with_detail(std::string detail) && {
        detail_ = std::move(detail);
        return std::move(*this);
    }

    // Variant name, and for text variants Name("escaped text").
    std::string debug_text() const;

    static std::string_view kind_name(Kind kind);
    static bool kind_has_text(Kind kind);

    // What the client reports for a failure of the wire layer. A Conversion
    // failure first reports the line "Conversion error not implemented,
    // <text>" (diagnostics.hpp: standard output unless a sink is installed).
    static Error from_protocol(ProtocolError e);
    // What the client reports for a device's non-success service status;
    // callers test for Success first and never pass it.
    static Error from_service(ServiceStatus s);

    bool operator==(const Error&) const = default;

private:
    Kind kind_;
    std::string text_;
    int os_error_ = 0;
    std::string detail_;
};

template <class T>
using Result = tl::expected<T, Error>;

inline tl::unexpected<Error> fail(Error::Kind kind, std::string text = {}) {
    return tl::unexpected<Error>(Error(kind, std::move(text)));
}

// The quoting used inside debug texts: \" \\ \t \r \n \0, \u{hex} for other
// control and non-printable characters; everything else unchanged.
std::string escape_debug(std::string_view utf8);

// Writes one whole line to file descriptor 1 (no stdio buffering, so nothing
// is lost if the process ends right after). A newline is appended.
void write_stdout_line(std::string_view line);

}  // namespace tq
