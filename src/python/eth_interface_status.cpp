// EthInterfaceStatus (no constructor)
#include "python/classes.hpp"
#include "python/values.hpp"

namespace tq::py {
namespace {

using T = EthInterfaceStatus;

PyGetSetDef properties[] = {
    property_def<"link_state", &T::link_state>(),
    property_def<"role", &T::role>(),
    property_def<"speed", &T::speed>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The leading blank is part of the published text.
constexpr const char* kDoc =
    " Hold the ethernet-specific interface status\n\nAttributes:\n    link_state (EthLinkState): The link state\n    "
    "role (EthRole): The role\n    speed (EthLinkSpeed): The link speed";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, properties},
    {Py_tp_new, slot_fn(&refuse_new)},
    {Py_tp_dealloc, slot_fn(&dealloc_box<T>)},
    {0, nullptr},
};
PyType_Spec spec = {"plenko_tq_api.EthInterfaceStatus", sizeof(Box<T>), 0, Py_TPFLAGS_DEFAULT, slots};
ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<EthInterfaceStatus>() {
    return cached_type(cell, spec);
}

}  // namespace tq::py
