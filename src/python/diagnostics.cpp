#include "python/diagnostics.hpp"

#include <array>
#include <atomic>

#include "client/error.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace tq::py {
namespace {

// For the whole process: every thread and interpreter that calls the module.
std::atomic<bool> g_to_logging{false};

PyRef text(std::string_view s) {
    return PyRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

// logger.warning(line, extra={"device_address": where or None}). The line is
// the message itself, never a format: logging applies % only with arguments.
bool log_one(PyObject* warning, const std::string& line, const std::string& where) {
    if (warning == nullptr) return false;
    PyRef message = text(line);
    PyRef args = message ? PyRef::steal(PyTuple_Pack(1, message.get())) : PyRef();
    PyRef address = where.empty() ? PyRef::borrow(Py_None) : text(where);
    PyRef extra = PyRef::steal(PyDict_New());
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!args || !address || !extra || !kwargs) return false;
    if (PyDict_SetItemString(extra.get(), kAddressAttribute, address.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "extra", extra.get()) < 0) {
        return false;
    }
    return PyRef::steal(PyObject_Call(warning, args.get(), kwargs.get())) ? true : false;
}

// Keeps the exception a call ended with while lines are logged.
class PendingKept {
public:
    PendingKept() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~PendingKept() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, tb_);
    }
    PendingKept(const PendingKept&) = delete;
    PendingKept& operator=(const PendingKept&) = delete;

private:
    PyObject *type_, *value_, *tb_;
};

}  // namespace

CallDiagnostics::CallDiagnostics() noexcept
    : active_(g_to_logging.load(std::memory_order_relaxed)), sink_{&CallDiagnostics::take, this} {}

void CallDiagnostics::take(void* ctx, std::string_view line, std::string_view where) noexcept {
    auto* self = static_cast<CallDiagnostics*>(ctx);
    try {
        const std::lock_guard lock(self->mutex_);
        self->lines_.emplace_back(line, where);
    } catch (...) {
        write_stdout_line(line);  // not lost for want of memory
    }
}

void CallDiagnostics::emit() noexcept {
    if (!active_) return;
    std::vector<std::pair<std::string, std::string>> lines;
    {
        const std::lock_guard lock(mutex_);
        lines.swap(lines_);
    }
    if (lines.empty()) return;
    const PendingKept kept;
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    PyRef logger = logging ? PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", kLoggerName)) : PyRef();
    PyRef warning = logger ? PyRef::steal(PyObject_GetAttrString(logger.get(), "warning")) : PyRef();
    for (const auto& [line, where] : lines) {
        if (log_one(warning.get(), line, where)) continue;
        // Nowhere to raise it: the call itself succeeded or failed on its own.
        if (PyErr_Occurred()) PyErr_WriteUnraisable(warning ? warning.get() : Py_None);
        write_stdout_line(line);
    }
}

PyObject* diagnostics_to_logging(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 1> names{"enabled"};
        std::array<PyObject*, 1> raw{};
        if (!parse_arguments(args, kwargs, "diagnostics_to_logging", names, raw)) return nullptr;
        BoolArg enabled;
        if (!enabled.load(raw[0])) {
            prefix_type_error("argument '%s': ", "enabled");
            return nullptr;
        }
        return PyBool_FromLong(g_to_logging.exchange(enabled.get()) ? 1 : 0);
    });
}

}  // namespace tq::py
