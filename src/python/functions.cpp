// The module-level functions. Their definitions live for the process because
// the function objects of every module object point at them.
#include "python/functions.hpp"

#include <cerrno>
#include <cstdio>
#include <string>

#include "client/ean.hpp"
#include "client/trace.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/diagnostics.hpp"
#include "python/errors.hpp"
#include "python/objects.hpp"

namespace tq::py {
namespace {

constexpr uint32_t kApiVersion[3] = {0, 2, 1};

PyObject* get_api_version(PyObject*, PyObject*) noexcept {
    return guarded([] {
        return Py_BuildValue("(kkk)", static_cast<unsigned long>(kApiVersion[0]),
                             static_cast<unsigned long>(kApiVersion[1]), static_cast<unsigned long>(kApiVersion[2]));
    });
}

PyObject* get_api_version_string(PyObject*, PyObject*) noexcept {
    return guarded([] {
        return PyUnicode_FromFormat("%lu.%lu.%lu", static_cast<unsigned long>(kApiVersion[0]),
                                    static_cast<unsigned long>(kApiVersion[1]),
                                    static_cast<unsigned long>(kApiVersion[2]));
    });
}

PyObject* format_ean(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 1> names{"ean"};
        std::array<PyObject*, 1> raw{};
        if (!parse_arguments(args, kwargs, "format_ean", names, raw)) return nullptr;
        UIntArg<uint64_t> ean;
        if (!ean.load(raw[0])) {
            prefix_type_error("argument '%s': ", "ean");
            return nullptr;
        }
        const std::string text = tq::format_ean(ean.get());
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* create_client(PyObject*, PyObject*) noexcept {
    return guarded([] { return new_object<Client>(Client{}); });
}

PyObject* trace_to(PyObject*, PyObject* path) noexcept {
    return guarded([&]() -> PyObject* {
        if (path == Py_None) {
            tq::trace::stop();
            Py_RETURN_NONE;
        }
        PyObject* raw = nullptr;  // bytes, in the file system's encoding
        if (!PyUnicode_FSConverter(path, &raw)) return nullptr;
        PyRef encoded = PyRef::steal(raw);
        char* text = nullptr;
        Py_ssize_t len = 0;
        if (PyBytes_AsStringAndSize(encoded.get(), &text, &len) < 0) return nullptr;
        if (auto started = tq::trace::start(std::string(text, static_cast<size_t>(len))); !started) {
            errno = started.error();
            return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        }
        Py_RETURN_NONE;
    });
}

// Fixed texts: callers match on them; keep verbatim, misspellings included.
PyMethodDef function_defs[] = {
    {"get_api_version", method_fn(&get_api_version), METH_NOARGS,
     "get_api_version()\n--\n\nGets the version of this API\n\nReturns:\n    (int, int, int): A tuple with (major, "
     "minor, patch)"},
    {"get_api_version_string", method_fn(&get_api_version_string), METH_NOARGS,
     "get_api_version_string()\n--\n\nGets the version string of this api\n\nReturns:\n    (str): A string using "
     "semver format: X.X.X"},
    {"format_ean", method_fn(&format_ean), METH_VARARGS | METH_KEYWORDS,
     "format_ean(ean)\n--\n\nA helper function to format the given ean as:\nXX-XXXXX-XXXXX-X\n\nParameters:\n    "
     "ean (int): Ean to format\n\nReturns:\n    (str): A formatted string"},
    {"create_client", method_fn(&create_client), METH_NOARGS,
     "create_client()\n--\n\nCreates a client instance.\n\nReturns:\n    (Client): A new client"},
};

// Additions outside __all__, which keeps its published list.
PyMethodDef added_defs[] = {
    {"trace_to", method_fn(&trace_to), METH_O,
     "trace_to(path, /)\n--\n\nWrites every exchange of this process with its devices, from now on, to a pcapng "
     "file at path\n(created or replaced): one TCP stream per connection, the bytes as sent and received, with\n"
     "their times. Wireshark and tshark show it with the dissector that `plenko-tq wireshark`\nprints. "
     "trace_to(None) stops the trace and closes the file; off by default.\n\nParameters:\n    path (str | "
     "os.PathLike | None): The file, or None to stop\n\nRaises:\n    OSError: The file cannot be written"},
    {"diagnostics_to_logging", method_fn(&diagnostics_to_logging), METH_VARARGS | METH_KEYWORDS,
     "diagnostics_to_logging(enabled)\n"
     "--\n"
     "\n"
     "Sends the module's diagnostic lines (a device left out of a scan, a\n"
     "firmware callback that raised, ...) to the logging module instead of\n"
     "standard output, or back to standard output. The setting holds for the\n"
     "whole process.\n"
     "\n"
     "With enabled=True each line becomes a WARNING record of the logger\n"
     "\"plenko_tq_api\" with the line's text as its message and the attribute\n"
     "device_address: \"host:port\" of the device the line is about (for a\n"
     "device left out of a scan every address it was found at, joined by\n"
     "\", \"), or None. The record is logged on the thread that called the\n"
     "module, when the call returns. With enabled=False, the default, the\n"
     "lines go to standard output as they happen.\n"
     "\n"
     "Parameters:\n"
     "    enabled (bool): True for logging, False for standard output\n"
     "\n"
     "Returns:\n"
     "    (bool): The setting before this call"},
};

}  // namespace

std::span<PyMethodDef> module_functions() {
    return function_defs;
}

std::span<PyMethodDef> added_functions() {
    return added_defs;
}

}  // namespace tq::py
