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

// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr const char* kDoc =
    "A Cable Test Result\n\nAttributes:\n    harness_status(CableTestHarnessStatus): The status of the harness\n    "
    "distance_to_fault(u32): Distance to any detected fault";

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<CableTestResult>() {
    return class_type<CableTestResult>(
        cell, {.name = "plenko_tq_api.CableTestResult", .doc = kDoc, .properties = properties});
}

}  // namespace tq::py
