#include "client/diagnostics.hpp"

#include <string>
#include <utility>

#include "client/error.hpp"

namespace tq {
namespace {

thread_local const DiagnosticSink* t_sink = nullptr;
thread_local const SocketAddress* t_device = nullptr;

std::string text_of(const SocketAddress& address) {
    return address.size() == 0 ? std::string() : address.to_string();
}

}  // namespace

DiagnosticScope::DiagnosticScope(const DiagnosticSink* sink) noexcept : previous_(std::exchange(t_sink, sink)) {}

DiagnosticScope::~DiagnosticScope() {
    t_sink = previous_;
}

const DiagnosticSink* diagnostic_sink() noexcept {
    return t_sink;
}

std::function<void()> carry_diagnostics(std::function<void()> body) {
    const DiagnosticSink* sink = t_sink;
    if (sink == nullptr) return body;
    return [sink, body = std::move(body)] {
        const DiagnosticScope scope(sink);
        body();
    };
}

const SocketAddress* exchange_diagnostic_device(const SocketAddress* address) noexcept {
    return std::exchange(t_device, address);
}

void report_line(std::string_view line, std::string_view where) {
    const DiagnosticSink* sink = t_sink;
    if (sink == nullptr || sink->take == nullptr) {
        write_stdout_line(line);
        return;
    }
    if (!where.empty() || t_device == nullptr) {
        sink->take(sink->ctx, line, where);
        return;
    }
    const std::string device = text_of(*t_device);
    sink->take(sink->ctx, line, device);
}

void report_line(std::string_view line, const SocketAddress& about) {
    if (t_sink == nullptr) {
        write_stdout_line(line);
        return;
    }
    const std::string where = text_of(about);
    report_line(line, where);
}

}  // namespace tq
