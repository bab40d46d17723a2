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

constexpr const char* kDoc =
    "A Dynamic Channel Quality result\n\nAttributes:\n    sqi (u8): Signal Quality Index\n    sqi_worst (u8): Worst "
    "Signal Quality Index since last read\n    mse (u16): Mean Square Error\n    mse_worst (u16): Worst Mean Square "
    "Error since last read\n    peak_mse (u8): Peak Mean Square Error\n    peak_mse_worst (u8): Worst Peak Mean "
    "Square Error since last read";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, properties},
    {Py_tp_new, slot_fn(&refuse_new)},
    {Py_tp_dealloc, slot_fn(&dealloc_box<T>)},
    {0, nullptr},
};
PyType_Spec spec = {"plenko_tq_api.DcqReading", sizeof(Box<T>), 0, Py_TPFLAGS_DEFAULT, slots};
ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<DcqReading>() {
    return cached_type(cell, spec);
}

}  // namespace tq::py
