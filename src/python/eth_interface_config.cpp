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

// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr const char* kDoc =
    "EthInterfaceConfig(speed, role, aneg_mode)\n--\n\nThe ethernet interface config. Used for setting/getting "
    "the\nconfiguration for an interface.\nAttributes:\n    speed ([EthLinkSpeed]): The speeds in this "
    "configuration\n    role ([EthRole]): The roles in this configuration\n    aneg_mode (EthAnegMode): The aneg "
    "mode in this configuration";

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<EthInterfaceConfig>() {
    return class_type<EthInterfaceConfig>(cell, {.name = "plenko_tq_api.EthInterfaceConfig",
                                                 .doc = kDoc,
                                                 .properties = properties,
                                                 .construct = &eth_interface_config_new});
}

}  // namespace tq::py
