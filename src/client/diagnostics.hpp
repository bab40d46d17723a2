// The client's diagnostic lines: problems that do not fail a call (a device
// left out of a scan, a socket timeout that could not be set, a response
// value without a counterpart, a callback that raised). Each goes whole to
// standard output, unless the thread that reports it has a sink installed:
// then the sink takes it, with the address of the device it concerns.
//
// A sink belongs to the thread that installed it. Threads a call starts on
// its behalf (a scan's connecting threads) run their work through
// carry_diagnostics(), so their lines reach the sink of the thread that made
// the call, which can hand them on once the call has returned.
#pragma once

#include <functional>
#include <string_view>

#include "net/address.hpp"

namespace tq {

struct DiagnosticSink {
    // `line` has no newline; `where` is the device's address ("host:port",
    // several joined by ", " when the line concerns a device that was
    // reachable at more than one), empty when the line concerns no device.
    // Called from every thread that carries the sink, possibly at once.
    void (*take)(void* ctx, std::string_view line, std::string_view where) noexcept = nullptr;
    void* ctx = nullptr;
};

// Installs `sink` for this thread while alive (nullptr: standard output); the
// previous one comes back.
class DiagnosticScope {
public:
    explicit DiagnosticScope(const DiagnosticSink* sink) noexcept;
    ~DiagnosticScope();
    DiagnosticScope(const DiagnosticScope&) = delete;
    DiagnosticScope& operator=(const DiagnosticScope&) = delete;

private:
    const DiagnosticSink* previous_;
};

// This thread's sink; nullptr when lines go to standard output.
const DiagnosticSink* diagnostic_sink() noexcept;

// `body`, to run on another thread with this thread's sink installed there.
std::function<void()> carry_diagnostics(std::function<void()> body);

// The device that lines reported on this thread concern while it is set
// (the connection lock sets it for as long as it is held); returns the one
// before, which the caller puts back. nullptr: none.
const SocketAddress* exchange_diagnostic_device(const SocketAddress* address) noexcept;

// Reports one diagnostic line (without its newline): to this thread's sink,
// or else to standard output exactly as write_stdout_line writes it.
// `where`: the device's address text; when empty, the device set with
// exchange_diagnostic_device, if any.
void report_line(std::string_view line, std::string_view where = {});
// The same for a line about the device at `about` (its text is built only
// for a sink; an unset address counts as none).
void report_line(std::string_view line, const SocketAddress& about);

}  // namespace tq
