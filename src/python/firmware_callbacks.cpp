// FirmwareUpdateCallbacks: the module's one subclassable class, whose default
// methods do nothing, and the bridge the update methods hand to the client.
#include "python/firmware_callbacks.hpp"

#include <string>

#include "client/diagnostics.hpp"
#include "client/error.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/method.hpp"

namespace tq::py {

// ---- bridge ------------------------------------------------------------------

namespace {

std::string repr_utf8(PyObject* obj) {
    PyRef repr = PyRef::steal(obj ? PyObject_Repr(obj) : PyUnicode_FromString("None"));
    PyRef bytes = repr ? PyRef::steal(PyUnicode_AsEncodedString(repr.get(), "utf-8", "backslashreplace")) : PyRef();
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(bytes.get(), &data, &size);
    return std::string(data, static_cast<size_t>(size));
}

}  // namespace

void report_callback_failure() noexcept {
    try {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (!type) {
            type = PyExc_SystemError;
            Py_INCREF(type);
            value = PyUnicode_FromString("attempted to fetch exception but none was set");
        }
        PyErr_NormalizeException(&type, &value, &tb);
        if (!tb && value) tb = PyException_GetTraceback(value);
        PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
        // Fixed texts: callers match on them; keep verbatim, misspellings included.
        std::string line = "Failed to call python function with error PyErr { type: " + repr_utf8(t.get()) +
                           ", value: " + repr_utf8(v.get()) + ", traceback: ";
        line += trace ? "Some(" + repr_utf8(trace.get()) + ")" : std::string("None");
        line += " }";
        PyErr_Clear();
        report_line(line);
    } catch (...) {
        PyErr_Clear();
    }
}

void CallbacksBridge::call_with(const char* name, PyObject* arg) noexcept {
    // Something is pending already: the update is being stopped.
    if (arg != nullptr && PyErr_Occurred()) {
        Py_DECREF(arg);
        return;
    }
    try {
        PyRef argument = PyRef::steal(arg);
        PyRef method_name = PyRef::steal(PyUnicode_FromString(name));
        PyRef args = argument && method_name ? PyRef::steal(PyTuple_Pack(1, argument.get())) : PyRef();
        // Looked up now, so instance attributes and later rebinding count.
        PyRef method = args ? PyRef::steal(PyObject_GetAttr(target_, method_name.get())) : PyRef();
        PyRef result = method ? PyRef::steal(PyObject_Call(method.get(), args.get(), nullptr)) : PyRef();
        if (!result) report_callback_failure();
    } catch (...) {
        PyErr_Clear();
    }
}

void CallbacksBridge::update_started(uint64_t total_bytes) {
    const ReleasedInterpreter::InterpreterLock held;
    call_with("update_started", to_python(total_bytes));
}

void CallbacksBridge::report_progress(uint64_t total_transferred_bytes) {
    const ReleasedInterpreter::InterpreterLock held;
    call_with("report_progress", to_python(total_transferred_bytes));
}

void CallbacksBridge::start_finalizing() {
    const ReleasedInterpreter::InterpreterLock held;
    if (PyErr_Occurred()) return;
    try {
        PyRef method_name = PyRef::steal(PyUnicode_FromString("start_finalizing"));
        PyRef result =
            method_name ? PyRef::steal(PyObject_CallMethodObjArgs(target_, method_name.get(), nullptr)) : PyRef();
        if (!result) report_callback_failure();
    } catch (...) {
        PyErr_Clear();
    }
}

void CallbacksBridge::update_finished(FirmwareUpdateResult result) {
    const ReleasedInterpreter::InterpreterLock held;
    // A Ctrl-C while the finalize ran waited for its answer; its handler runs
    // now and what it raises is set aside, so that the callback sees the
    // outcome whole before the call raises it.
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    if (PyErr_Occurred() == nullptr) {
        (void)PyErr_CheckSignals();
        PyErr_Fetch(&type, &value, &trace);
    }
    call_with("update_finished", to_python(result));
    if (type == nullptr) return;
    if (PyErr_Occurred() != nullptr) {
        // The callback's own stop wins.
        Py_DECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        return;
    }
    PyErr_Restore(type, value, trace);
}

// ---- FirmwareUpdateCallbacks class ------------------------------------------------

namespace {

// The defaults convert their argument (so wrong types still raise) and do nothing.
void default_update_started(const CallbacksBase&, uint64_t) {}
void default_report_progress(const CallbacksBase&, uint64_t) {}
void default_start_finalizing(const CallbacksBase&) {}
void default_update_finished(const CallbacksBase&, FirmwareUpdateResult) {}

// Fixed texts: callers match on them; keep verbatim, misspellings included.
PyMethodDef callbacks_methods[] = {
    method_def<"update_started", &default_update_started, "_total_bytes">(
        "update_started($self, _total_bytes)\n--\n\nCalled when the update starts\n\nParameters:\n    total_bytes "
        "(int): Total number of bytes that will get transferred"),
    method_def<"report_progress", &default_report_progress, "_total_transferred_bytes">(
        "report_progress($self, _total_transferred_bytes)\n--\n\nCalled for every chunk of bytes that get "
        "transferred over to the device\n\nParameters:\n    total_transferred_bytes (int): Total number of bytes "
        "transferred\n    up to this point"),
    method_def<"start_finalizing", &default_start_finalizing>(
        "start_finalizing($self)\n--\n\nCalled after transfer has completed and device starts validating the\nnew "
        "firmware and writing it to flash."),
    method_def<"update_finished", &default_update_finished, "_update_result">(
        "update_finished($self, _update_result)\n--\n\nCalled when update has completed\n\nParameters:\n    "
        "update_result (FirmwareUpdateResult): The result of the update"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kCallbacksDoc =
    "FirmwareUpdateCallbacks()\n--\n\nThe FirmwareUpdateCallbacks is a base class to let user\nof "
    "update_firmware_from_blob or update_firmware_from_path track\nprogress during the update.\n\nExample:\n    "
    "Example subclassing FirmwareUpdateCallbacks\n\n        class PrintfCallbacks(FirmwareUpdateCallbacks):\n      "
    "      total_bytes = 0\n\n            def update_started(self, total_bytes):\n                self.total_bytes = "
    "total_bytes\n                print(f'Starting update with {total_bytes} bytes')\n\n            def "
    "report_progress(self, total_transferred_bytes):\n                percent = (\n                    100.0 * "
    "total_transferred_bytes / self.total_bytes\n                    if self.total_bytes != 0\n                    "
    "else 0\n                )\n                print(f'Sent {total_transfer_bytes} bytes [{percent}%]')\n\n       "
    "     def start_finalizing(self):\n                print('Upload done, now finalizing...')\n                "
    "print('Do not unplug the device!')\n\n            def update_finished(self, update_result):\n                "
    "match update_result:\n                case tq_api.FirmwareUpdateResult.Success:\n                    "
    "print('Update success!')\n                case _:\n                    print('Update failed')\n\n        "
    "callbacks = PrintfCallbacks()\n        device.update_firmware_from_path(\n            "
    "'/some/path/to/firmware.img', callbacks\n        )";

// Takes no arguments; a subclass whose __init__ wants some must override __new__.
PyObject* callbacks_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        if (PyTuple_Size(args) != 0 || (kwargs && PyDict_Size(kwargs) != 0)) {
            PyErr_SetString(PyExc_TypeError, "FirmwareUpdateCallbacks() takes no arguments");
            return nullptr;
        }
        // The subclass's allocator: Python subclasses are collected by the GC.
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        return alloc(type, 0);
    });
}

ProcessCell g_callbacks_type;

}  // namespace

template <>
PyTypeObject* python_type<CallbacksBase>() {
    return class_type<CallbacksBase>(g_callbacks_type, {.name = "plenko_tq_api.FirmwareUpdateCallbacks",
                                                        .doc = kCallbacksDoc,
                                                        .methods = callbacks_methods,
                                                        .construct = &callbacks_new,
                                                        .subclassable = true});
}

}  // namespace tq::py
