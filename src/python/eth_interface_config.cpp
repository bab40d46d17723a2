// EthInterfaceConfig(speed, role, aneg_mode)
#include "python/classes.hpp"
#include "python/values.hpp"

namespace tq::py {
namespace {

using T = EthInterfaceConfig;

PyGetSetDef properties[] = {
    property_def<"role", &T::role>(),
    property_def<"speed", &T::speed>(),
    property_def<"aneg_mode", &T::aneg_mode>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Signature order (speed first) differs from the attribute reading order.
PyObject* eth_interface_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return construct<T, "EthInterfaceConfig", Field<"speed", &T::speed>, Field<"role", &T::role>,
                     Field<"aneg_mode", &T::aneg_mode>>(type, args, kwargs);
}

constexpr const char* kDoc =
    "EthInterfaceConfig(speed, role, aneg_mode)\n--\n\nThe ethernet interface config. Used for setting/getting "
    "the\nconfiguration for an interface.\nAttributes:\n    speed ([EthLinkSpeed]): The speeds in this "
    "configuration\n    role ([EthRole]): The roles in this configuration\n    aneg_mode (EthAnegMode): The aneg "
    "mode in this configuration";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, properties},
    {Py_tp_new, slot_fn(&eth_interface_config_new)},
    {Py_tp_dealloc, slot_fn(&dealloc_box<T>)},
    {0, nullptr},
};
PyType_Spec spec = {"plenko_tq_api.EthInterfaceConfig", sizeof(Box<T>), 0, Py_TPFLAGS_DEFAULT, slots};
ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<EthInterfaceConfig>() {
    return cached_type(cell, spec);
}

}  // namespace tq::py
