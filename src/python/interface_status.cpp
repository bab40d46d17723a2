// InterfaceStatus (no constructor)
#include "python/classes.hpp"
#include "python/values.hpp"

namespace tq::py {
namespace {

using T = InterfaceStatus;

PyGetSetDef properties[] = {
    property_def<"interface_type", &T::interface_type>(),
    // Each read makes a new EthInterfaceStatus holding a copy.
    property_def<"eth_interface_status", &T::eth_interface_status>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "Interface status is used to hold the response when querying the\ncurrent status of an "
    "interface\nAttributes:\n    interface_type (InterfaceType): The type of interface\n    eth_interface_status "
    "(EthInterfaceStatus): The interfaces\n        EthInterfaceStatus (if the interface type is an ethernate\n     "
    "   interface)";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, properties},
    {Py_tp_new, slot_fn(&refuse_new)},
    {Py_tp_dealloc, slot_fn(&dealloc_box<T>)},
    {0, nullptr},
};
PyType_Spec spec = {"plenko_tq_api.InterfaceStatus", sizeof(Box<T>), 0, Py_TPFLAGS_DEFAULT, slots};
ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<InterfaceStatus>() {
    return cached_type(cell, spec);
}

}  // namespace tq::py
