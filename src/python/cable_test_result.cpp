// CableTestResult (no constructor)
#include "python/classes.hpp"
#include "python/values.hpp"

namespace tq::py {
namespace {

using T = CableTestResult;

PyGetSetDef properties[] = {
    property_def<"harness_status", &T::harness_status>(),
    property_def<"distance_to_fault", &T::distance_to_fault>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "A Cable Test Result\n\nAttributes:\n    harness_status(CableTestHarnessStatus): The status of the harness\n    "
    "distance_to_fault(u32): Distance to any detected fault";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, properties},
    {Py_tp_new, slot_fn(&refuse_new)},
    {Py_tp_dealloc, slot_fn(&dealloc_box<T>)},
    {0, nullptr},
};
PyType_Spec spec = {"plenko_tq_api.CableTestResult", sizeof(Box<T>), 0, Py_TPFLAGS_DEFAULT, slots};
ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<CableTestResult>() {
    return cached_type(cell, spec);
}

}  // namespace tq::py
