// The client's diagnostic lines from Python: on standard output by default,
// or, after diagnostics_to_logging(True), as records of the logger
// "plenko_tq_api", logged on the thread that made the call once the call has
// returned (lines of a scan's connecting threads included).
#pragma once

#include "python/pyref.hpp"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "client/diagnostics.hpp"

namespace tq::py {

inline constexpr const char* kLoggerName = "plenko_tq_api";
// The LogRecord attribute that carries the device's address (None for lines
// about no device).
inline constexpr const char* kAddressAttribute = "device_address";

// The lines of one call into the client. With logging off it installs no
// sink, so the lines go to standard output as they come.
class CallDiagnostics {
public:
    CallDiagnostics() noexcept;
    CallDiagnostics(const CallDiagnostics&) = delete;
    CallDiagnostics& operator=(const CallDiagnostics&) = delete;

    // For the call's DiagnosticScope; nullptr with logging off.
    const DiagnosticSink* sink() const noexcept { return active_ ? &sink_ : nullptr; }

    // With the interpreter lock held, after the call: logs what it reported,
    // in order. An exception pending from the call stays pending; a line
    // that logging refuses is written to standard output instead.
    void emit() noexcept;

private:
    static void take(void* ctx, std::string_view line, std::string_view where) noexcept;

    bool active_;
    DiagnosticSink sink_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> lines_;  // under mutex_: (line, where)
};

// diagnostics_to_logging(enabled): the module function.
PyObject* diagnostics_to_logging(PyObject*, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace tq::py
