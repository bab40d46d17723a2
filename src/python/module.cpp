// The module definition, its one execution step, and the order in which it
// publishes names (which is the order of __all__).
#include "python/classes.hpp"
#include "python/enums.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/pyref.hpp"

namespace tq::py {
namespace {

// Sets the attribute and appends the name to __all__, so the two never differ.
bool add(PyObject* module, const char* name, PyObject* value) {
    if (!value) return false;
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef key = PyRef::steal(PyUnicode_FromString(name));
    return key && PyList_Append(all.get(), key.get()) == 0 && PyObject_SetAttr(module, key.get(), value) == 0;
}

template <class T>
PyObject* class_of() {
    if constexpr (PyEnum<T>)
        return reinterpret_cast<PyObject*>(enum_type<T>());
    else
        return reinterpret_cast<PyObject*>(python_type<T>());
}

struct Published {
    const char* name;
    PyObject* (*type)();
};

constexpr Published kClasses[] = {
    {"Client", &class_of<Client>},
    {"Device", &class_of<Device>},
    {"FirmwareUpdateCallbacks", &class_of<CallbacksBase>},
    {"FirmwareUpdateResult", &class_of<FirmwareUpdateResult>},
    {"Interface", &class_of<Interface>},
    {"InterfaceType", &class_of<InterfaceType>},
    {"EthLinkState", &class_of<EthLinkState>},
    {"EthRole", &class_of<EthRole>},
    {"EthLinkSpeed", &class_of<EthLinkSpeed>},
    {"EthAnegMode", &class_of<EthAnegMode>},
    {"InterfaceStatus", &class_of<InterfaceStatus>},
    {"EthInterfaceStatus", &class_of<EthInterfaceStatus>},
    {"EthInterfaceConfig", &class_of<EthInterfaceConfig>},
    {"Tc10Command", &class_of<Tc10Command>},
    {"Tc10State", &class_of<Tc10State>},
    {"DcqReading", &class_of<DcqReading>},
    {"CableTestHarnessStatus", &class_of<CableTestHarnessStatus>},
    {"CableTestResult", &class_of<CableTestResult>},
    {"PgPayloadSize", &class_of<PgPayloadSize>},
    {"PgPayloadType", &class_of<PgPayloadType>},
    {"PgPacketValidity", &class_of<PgPacketValidity>},
    {"PacketGeneratorConfig", &class_of<PacketGeneratorConfig>},
};

PyMethodDef interrupt_thread_def = {
    "_interrupt_thread", reinterpret_cast<PyCFunction>(&interrupt_thread), METH_VARARGS,
    "_interrupt_thread(thread_ident, stop, /)\n--\n\nPrivate: asks the call that the thread runs now to stop as "
    "Ctrl-C stops it (stop=True), or withdraws that request once the call has returned (stop=False)."};

// The package version, as pip shows it (get_api_version_string() says the same).
constexpr const char* kVersion = "0.2.1";

// Stops at the first failure; the import then fails with that error.
int exec_module(PyObject* module) noexcept {
    return guarded([&]() -> int {
        if (!prepare_internal_fault()) return -1;
        for (Exc e : kPublishedExceptions)
            if (!add(module, exception_name(e), exception_type(e))) return -1;
        for (const auto& c : kClasses)
            if (!add(module, c.name, c.type())) return -1;
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef& def : module_functions()) {
            PyRef fn = PyRef::steal(PyCFunction_NewEx(&def, module, module_name.get()));
            if (!add(module, def.ml_name, fn.get())) return -1;
        }
        // The transport exceptions are listed in __all__ too, after the names
        // above, which keep their places.
        for (Exc e : kTransportExceptions)
            if (!add(module, exception_name(e), exception_type(e))) return -1;
        if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) return -1;
        for (PyMethodDef& def : added_functions()) {
            PyRef fn = PyRef::steal(PyCFunction_NewEx(&def, module, module_name.get()));
            if (!fn || PyObject_SetAttrString(module, def.ml_name, fn.get()) < 0) return -1;
        }
        // Private, so not in __all__: the asyncio module's way to stop a call.
        PyRef stop = PyRef::steal(PyCFunction_NewEx(&interrupt_thread_def, module, module_name.get()));
        if (!stop || PyObject_SetAttrString(module, interrupt_thread_def.ml_name, stop.get()) < 0) return -1;
        // Only the main thread runs signal handlers.
        PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
        PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
        PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
        if (!ident) return -1;
        note_main_thread(PyLong_AsUnsignedLong(ident.get()));
        return PyErr_Occurred() ? -1 : 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

// Fixed texts: callers match on them; keep verbatim, misspellings included.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "plenko_tq_api",
    "TQ API for Python module",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tq::py

// PyMODINIT_FUNC: exported from the .so (default visibility) and the .pyd (dllexport).
PyMODINIT_FUNC PyInit_plenko_tq_api() {
    return PyModuleDef_Init(&tq::py::module_def);
}
