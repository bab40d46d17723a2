// DcqReading (no constructor)
#include "python/classes.hpp"
#include "python/values.hpp"

namespace tq::py {
namespace {

using T = DcqReading;

PyGetSetDef properties[] = {
    property_def<"sqi", &T::sqi>(),
    property_def<"sqi_worst", &T::sqi_worst>(),
    property_def<"mse", &T::mse>(),
    property_def<"mse_worst", &T::mse_worst>(),
    property_def<"peak_mse", &T::peak_mse>(),
    property_def<"peak_mse_worst", &T::peak_mse_worst>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr const char* kDoc =
    "A Dynamic Channel Quality result\n\nAttributes:\n    sqi (u8): Signal Quality Index\n    sqi_worst (u8): Worst "
    "Signal Quality Index since last read\n    mse (u16): Mean Square Error\n    mse_worst (u16): Worst Mean Square "
    "Error since last read\n    peak_mse (u8): Peak Mean Square Error\n    peak_mse_worst (u8): Worst Peak Mean "
    "Square Error since last read";

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<DcqReading>() {
    return class_type<DcqReading>(cell, {.name = "plenko_tq_api.DcqReading", .doc = kDoc, .properties = properties});
}

}  // namespace tq::py
