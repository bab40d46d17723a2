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

// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr const char* kDoc =
    "Interface status is used to hold the response when querying the\ncurrent status of an "
    "interface\nAttributes:\n    interface_type (InterfaceType): The type of interface\n    eth_interface_status "
    "(EthInterfaceStatus): The interfaces\n        EthInterfaceStatus (if the interface type is an ethernate\n     "
    "   interface)";

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<InterfaceStatus>() {
    return class_type<InterfaceStatus>(
        cell, {.name = "plenko_tq_api.InterfaceStatus", .doc = kDoc, .properties = properties});
}

}  // namespace tq::py
