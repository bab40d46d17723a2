// Exceptions of the module: the five published types, the conversion of a
// client Error into a pending exception, and the internal-fault exception
// raised when a C++ exception reaches the C API boundary.
#pragma once

#include "python/pyref.hpp"

#include <exception>
#include <string>

#include "client/connect.hpp"
#include "client/error.hpp"

namespace tq::py {

enum class Exc {
    OperationFailed,
    OperationNotPermitted,
    OperationNotSupportedByDevice,
    OperationNotSupportedByInterface,
    ApiNotAvailableInProtocolVersion,
    // ValueError subclasses for the transport failures, by their cause; the
    // message is the one a plain ValueError had.
    DeviceTimedOut,
    DeviceConnectionLost,
};
// Published first, in this order (RuntimeError subclasses).
inline constexpr Exc kPublishedExceptions[] = {
    Exc::OperationFailed, Exc::OperationNotPermitted, Exc::OperationNotSupportedByDevice,
    Exc::OperationNotSupportedByInterface, Exc::ApiNotAvailableInProtocolVersion};
// Published after the module functions, so the names above keep their places.
inline constexpr Exc kTransportExceptions[] = {Exc::DeviceTimedOut, Exc::DeviceConnectionLost};

// Borrowed, process-wide; nullptr with the internal fault raised on failure.
PyObject* exception_type(Exc which);
// The published name (after the last dot of the qualified name).
const char* exception_name(Exc which);

// Sets the exception for `error` and returns nullptr, so callers can
// `return raise_error(e);`.
PyObject* raise_error(const Error& error);
// Client.connect's failures: the module's exception that fits the step that
// failed, with the failure's own sentence.
PyObject* raise_error(const ConnectFailure& failure);

// Creates the internal-fault type ahead of need (the module's execution
// step), so reporting a fault under memory pressure needs no type creation.
bool prepare_internal_fault();

// Raises the internal-fault exception (derives directly from BaseException)
// with `message`. Never throws; if even that fails the process ends.
void raise_internal_fault(const char* message) noexcept;

// Runs `body` (returning a new reference or nullptr with an error set) so that
// no C++ exception unwinds into the interpreter.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unknown C++ exception");
    }
    if constexpr (std::is_pointer_v<decltype(body())>)
        return nullptr;
    else
        return -1;
}

// If the pending error is a TypeError, replaces it by a TypeError whose text
// is `prefix` followed by the old text, with the old one as __cause__. Other
// errors (OverflowError, UnicodeEncodeError, ...) pass through unchanged.
void prefix_type_error(const char* prefix_format, const char* name);
// Replaces whatever is pending by TypeError(text) with the old one as __cause__.
void chain_type_error(const std::string& text);

}  // namespace tq::py
