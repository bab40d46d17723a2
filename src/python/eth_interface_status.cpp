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
// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr const char* kDoc =
    " Hold the ethernet-specific interface status\n\nAttributes:\n    link_state (EthLinkState): The link state\n    "
    "role (EthRole): The role\n    speed (EthLinkSpeed): The link speed";

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<EthInterfaceStatus>() {
    return class_type<EthInterfaceStatus>(
        cell, {.name = "plenko_tq_api.EthInterfaceStatus", .doc = kDoc, .properties = properties});
}

}  // namespace tq::py
