#include "client/error.hpp"


#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "client/diagnostics.hpp"
#include "net/platform.hpp"
#include "protocol/status.hpp"

namespace tq {
namespace {

struct KindInfo {
    std::string_view name;
    bool has_text;
};

// Fixed texts: callers match on them; keep verbatim, misspellings included.
// Indexed by Error::Kind.
constexpr std::array<KindInfo, Error::kKindCount> kKinds = {{
    {"ApiError", true},
    {"ApiNotAvailableInProtocolVersion", false},
    {"ClientSoftwareTooOldForDevice", false},
    {"ConnectionError", false},
    {"DeviceDiscoveryError", true},
    {"FailedToAquireLock", false},
    {"FileOpenError", true},
    {"FileReadError", true},
    {"NetworkError", false},
    {"NotImplemented", false},
    {"RemoteOperationFailed", false},
    {"RemoteOperationNotPermitted", false},
    {"RemoteOperationNotSupportedByDevice", false},
    {"RemoteOperationNotSupportedByInterface", false},
    {"TcpStreamWriteError", true},
    {"TcpStreamReadError", true},
    {"Utf8Error", true},
}};

struct Range {
    uint32_t first, last;
};
constexpr Range kNonPrintable[] = {
#include "client/unicode_nonprintable.inc"
};

bool printable(uint32_t cp) {
    const auto* it = std::upper_bound(std::begin(kNonPrintable), std::end(kNonPrintable), cp,
                                      [](uint32_t v, const Range& r) { return v < r.first; });
    return it == std::begin(kNonPrintable) || cp > std::prev(it)->last;
}

// Decodes one code point; on malformed input returns the byte itself so the
// escaping still terminates (Error texts are built from valid UTF-8).
uint32_t next_code_point(std::string_view s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
        ++i;
        return b0;
    }
    uint32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return b0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i += len;
    return cp;
}

}  // namespace

Error::Error(Kind kind, std::string text) : kind_(kind), text_(kind_has_text(kind) ? std::move(text) : std::string{}) {}

std::string_view Error::kind_name(Kind kind) {
    return kKinds[static_cast<size_t>(kind)].name;
}
bool Error::kind_has_text(Kind kind) {
    return kKinds[static_cast<size_t>(kind)].has_text;
}

std::string escape_debug(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (size_t i = 0; i < s.size();) {
        const size_t start = i;
        const uint32_t cp = next_code_point(s, i);
        switch (cp) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (printable(cp)) {
            out.append(s.substr(start, i - start));
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        }
    }
    return out;
}

std::string Error::debug_text() const {
    std::string out(kind_name(kind_));
    if (has_text()) {
        out += "(\"";
        out += escape_debug(text_);
        out += "\")";
    }
    return out;
}

// Fixed texts: callers match on them; keep verbatim, misspellings included.
Error Error::from_protocol(ProtocolError e) {
    using K = ProtocolError::Kind;
    switch (e.kind) {
        case K::CommandNotInVersion:
            return Error(Kind::ApiNotAvailableInProtocolVersion);
        case K::UnfamiliarVersion:
            return Error(Kind::ClientSoftwareTooOldForDevice);
        case K::Service:
            return from_service(e.service);
        case K::TextDecoding:
            return Error(Kind::Utf8Error, std::move(e.text));
        case K::Conversion:
            report_line("Conversion error not implemented, " + e.text);
            return Error(Kind::NotImplemented);
        case K::Status:
            break;
    }
    std::string text = "An error ocurred in the protocol \"";
    text += proto::protocol_status_name(e.status);
    text += '"';
    return Error(Kind::ApiError, std::move(text));
}

// Fixed texts: callers match on them; keep verbatim, misspellings included.
Error Error::from_service(ServiceStatus s) {
    switch (s) {
        case ServiceStatus::UnspecifiedError:
            return Error(Kind::ApiError, "Encountered an unspecified error");
        case ServiceStatus::OperationFailed:
            return Error(Kind::RemoteOperationFailed);
        case ServiceStatus::NotSupportedByInterface:
            return Error(Kind::RemoteOperationNotSupportedByInterface);
        // NotSupportedByDevice, and every value the client has no mapping of its own for.
        default:
            return Error(Kind::RemoteOperationNotSupportedByDevice);
    }
}

void write_stdout_line(std::string_view line) {
    std::string whole(line);
    whole += '\n';
    // A scan's connecting threads report at the same time; one line must not
    // be split by another's when write() takes only part of it.
    static std::mutex one_line_at_a_time;
    const std::lock_guard lock(one_line_at_a_time);
    // Python's or the C library's buffered stdout may hold earlier output of
    // the same process; it is flushed first so lines stay in order.
    os::write_stdout(whole);
}

}  // namespace tq
