#include "python/errors.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "net/platform.hpp"

namespace tq::py {
namespace {

struct ExceptionRow {
    const char* qualified_name;
    const char* doc;
    PyObject* const* base = &PyExc_RuntimeError;
};

// Fixed texts: callers match on them; keep verbatim, misspellings included.
// Indexed by Exc.
// Not constexpr: on Windows the base classes are imported data, whose
// addresses are known only once python3.dll is loaded.
const ExceptionRow kExceptionRows[] = {
    {"plenko_tq_api.OperationFailed",
     "OperationFailed is raised when the device was unable to perform the\nrequested operation"},
    {"plenko_tq_api.OperationNotPermitted",
     "OperationNotPermitted is raised when the device was unable to perform\nthe requested operation due to lack of "
     "permission"},
    {"plenko_tq_api.OperationNotSupportedByDevice",
     "OperationNotSupportedByDevice is raised when the device was unable to\nperform the requested operation due "
     "hardware restrictions on this device."},
    {"plenko_tq_api.OperationNotSupportedByInterface",
     "OperationNotSupportedByInterface is raised when an operation was\nattempted on an interface that does not "
     "support it (using TC10-related\nAPIs on a 100/1000BASE-T interface for instance)"},
    {"plenko_tq_api.ApiNotAvailableInProtocolVersion",
     "ApiNotAvailableInProtocolVersion is raised when attempting to call an\nAPI function that is not supported in "
     "the firmware currently running on\nthe device, updating should resolve this error."},
    {"plenko_tq_api.DeviceTimedOut",
     "DeviceTimedOut is raised when the device did not answer a request, or did\n"
     "not take it, within the connection timeout (1.337 s, or the timeout given\n"
     "to Client.connect): the device is busy or slow, or can no longer be\n"
     "reached. It is a ValueError with the client's message (\"Unknown error\n"
     "type TcpStreamReadError(...)\" or \"... TcpStreamWriteError(...)\"), so\n"
     "handlers of ValueError still catch it.\n"
     "\n"
     "The connection is closed and the next call on the device connects\n"
     "again: retry, check the device's power and cable, or give Client.connect\n"
     "a longer timeout for a device that is slow to answer.",
     &PyExc_ValueError},
    {"plenko_tq_api.DeviceConnectionLost",
     "DeviceConnectionLost is raised when the connection to the device was\n"
     "closed, reset or refused: the device restarted, was switched off or\n"
     "unplugged, or its network went away. It is a ValueError with the\n"
     "client's message (\"Unknown error type TcpStreamReadError(...)\" or\n"
     "\"... TcpStreamWriteError(...)\"), so handlers of ValueError still catch\n"
     "it.\n"
     "\n"
     "The next call on the device connects again and checks that the same\n"
     "device answers: retry once the device is back (after a restart or a\n"
     "firmware update), or scan for it again.",
     &PyExc_ValueError},
};

constexpr const char* kInternalFaultName = "plenko_tq_api.InternalFault";
constexpr const char* kInternalFaultDoc =
    "InternalFault is raised when the module meets a broken invariant of its own.\n"
    "It derives from BaseException so that ordinary error handling does not hide it.";

// The Error -> exception table, indexed by Error::Kind. Rows without an
// exception become ValueError: with the row's message if it has one, else
// "Unknown error type " + debug text.
struct ErrorRow {
    const Exc* exc;
    const char* message;
};
constexpr Exc kOpFailed = Exc::OperationFailed;
constexpr Exc kOpNotPermitted = Exc::OperationNotPermitted;
constexpr Exc kOpNotSupportedByDevice = Exc::OperationNotSupportedByDevice;
constexpr Exc kOpNotSupportedByInterface = Exc::OperationNotSupportedByInterface;
constexpr Exc kApiNotAvailable = Exc::ApiNotAvailableInProtocolVersion;
// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr ErrorRow kErrorRows[] = {
    /* ApiError */ {nullptr, nullptr},
    /* ApiNotAvailableInProtocolVersion */ {&kApiNotAvailable, "Operation not supported in older firmware"},
    /* ClientSoftwareTooOldForDevice */ {nullptr, nullptr},
    // Like I/O on a closed file: a mistake of the caller, not of the device.
    /* ConnectionError */ {nullptr, "Device was closed: Device.close() ended its connection; nothing was sent"},
    /* DeviceDiscoveryError */ {nullptr, nullptr},
    /* FailedToAquireLock */ {nullptr, nullptr},
    /* FileOpenError */ {nullptr, nullptr},
    /* FileReadError */ {nullptr, nullptr},
    /* NetworkError */ {nullptr, nullptr},
    /* NotImplemented */ {nullptr, nullptr},
    /* RemoteOperationFailed */ {&kOpFailed, "Operation failed"},
    /* RemoteOperationNotPermitted */ {&kOpNotPermitted, "Operation not permitted"},
    // The device-restriction case deliberately shares the generic text.
    /* RemoteOperationNotSupportedByDevice */ {&kOpNotSupportedByDevice, "Operation failed"},
    /* RemoteOperationNotSupportedByInterface */ {&kOpNotSupportedByInterface, "Operation not supported by interface"},
    /* TcpStreamWriteError */ {nullptr, nullptr},
    /* TcpStreamReadError */ {nullptr, nullptr},
    /* Utf8Error */ {nullptr, nullptr},
};
static_assert(std::size(kErrorRows) == Error::kKindCount);
static_assert(std::size(kExceptionRows) == std::size(kPublishedExceptions) + std::size(kTransportExceptions));

// A transport failure's class, by the errno the client kept: the device did
// not answer in time, or the connection went away. Anything else (no errno,
// an interrupted wait, a local fault) stays a plain ValueError.
const Exc* transport_exception(const Error& error) {
    static constexpr Exc kTimedOut = Exc::DeviceTimedOut;
    static constexpr Exc kLost = Exc::DeviceConnectionLost;
    if (error.kind() != Error::Kind::TcpStreamReadError && error.kind() != Error::Kind::TcpStreamWriteError) {
        return nullptr;
    }
    switch (os::cause_of(error.os_error())) {
        case os::Cause::TimedOut:
            return &kTimedOut;
        case os::Cause::ConnectionLost:
            return &kLost;
        default:
            return nullptr;
    }
}

ProcessCell g_exception_cells[std::size(kExceptionRows)];
ProcessCell g_internal_fault_cell;

[[noreturn]] void die_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

PyObject* internal_fault_type() {
    return g_internal_fault_cell.get(
        [] { return PyErr_NewExceptionWithDoc(kInternalFaultName, kInternalFaultDoc, PyExc_BaseException, nullptr); });
}

}  // namespace

PyObject* exception_type(Exc which) {
    const auto& row = kExceptionRows[static_cast<size_t>(which)];
    PyObject* type = g_exception_cells[static_cast<size_t>(which)].get(
        [&] { return PyErr_NewExceptionWithDoc(row.qualified_name, row.doc, *row.base, nullptr); });
    if (!type) raise_internal_fault("Failed to initialize new exception type.");
    return type;
}

const char* exception_name(Exc which) {
    const char* q = kExceptionRows[static_cast<size_t>(which)].qualified_name;
    return q + sizeof("plenko_tq_api.") - 1;
}

namespace {
// A str value: the interpreter builds the instance only when it is needed.
PyObject* raise_with(PyObject* type, std::string_view text) {
    if (!type) return nullptr;
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}
}  // namespace

PyObject* raise_error(const Error& error) {
    const auto& row = kErrorRows[static_cast<size_t>(error.kind())];
    if (row.exc) return raise_with(exception_type(*row.exc), row.message);
    if (row.message) return raise_with(PyExc_ValueError, row.message);
    const Exc* transport = transport_exception(error);
    return raise_with(transport ? exception_type(*transport) : PyExc_ValueError,
                      "Unknown error type " + error.debug_text());
}

PyObject* raise_error(const ConnectFailure& failure) {
    using Stage = ConnectFailure::Stage;
    PyObject* type = nullptr;
    if (failure.stage == Stage::Argument || (failure.stage == Stage::Lookup && failure.lookup &&
                                             failure.lookup->kind == HostLookupFailure::Kind::UnknownInterface)) {
        type = PyExc_ValueError;  // the caller's host or timeout cannot be used here
    } else if (failure.stage == Stage::Handshake && failure.error) {
        const Error::Kind kind = failure.error->kind();
        const auto& row = kErrorRows[static_cast<size_t>(kind)];
        // Incompatible either way round is a protocol-version mismatch; the
        // message says which way.
        if (kind == Error::Kind::ClientSoftwareTooOldForDevice) {
            type = exception_type(Exc::ApiNotAvailableInProtocolVersion);
        } else if (row.exc) {
            type = exception_type(*row.exc);
        }
    }
    // Name not found, refused, timed out, or a handshake the device did not
    // complete: the device could not be reached or did not do its part.
    if (!type && !PyErr_Occurred()) type = exception_type(Exc::OperationFailed);
    return raise_with(type, failure.message());
}

bool prepare_internal_fault() {
    return internal_fault_type() != nullptr;
}

void raise_internal_fault(const char* message) noexcept {
    try {
        // Whatever was pending is superseded by the fault.
        PyErr_Clear();
        PyObject* type = internal_fault_type();
        if (!type) die_at_boundary();
        PyErr_SetString(type, message);
    } catch (...) {
        die_at_boundary();
    }
}

namespace {
// Replaces the pending error by new_type(text) caused by it. If building the
// new exception fails, that failure is what stays pending.
void replace_with_cause(PyObject* new_type, PyObject* text) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyRef cause = PyRef::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(new_type, text, nullptr));
    if (!exc) return;
    if (cause) {
        Py_INCREF(cause.get());
        PyException_SetCause(exc.get(), cause.get());        // steals the new reference
        PyException_SetContext(exc.get(), cause.release());  // steals ours
    }
    PyErr_SetObject(new_type, exc.get());
}
}  // namespace

void prefix_type_error(const char* prefix_format, const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef old_text = PyRef::steal(value ? PyObject_Str(value) : PyUnicode_FromString(""));
    PyErr_Restore(type, value, tb);
    if (!old_text) return;  // keep the original error
    PyRef text = PyRef::steal(PyUnicode_FromFormat(prefix_format, name));
    PyRef full = text ? PyRef::steal(PyUnicode_Concat(text.get(), old_text.get())) : PyRef();
    if (full) replace_with_cause(PyExc_TypeError, full.get());
}

void chain_type_error(const std::string& text) {
    PyRef str = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (str) replace_with_cause(PyExc_TypeError, str.get());
}

}  // namespace tq::py
