#include "python/convert.hpp"

#include <limits>

namespace tq::py {
namespace {

// Objects of the datetime module the conversions need, fetched once per
// process: (timedelta, epoch, days, seconds, microseconds descriptors).
enum DatetimeSlot : Py_ssize_t { kTimedelta, kEpoch, kDays, kSeconds, kMicroseconds, kDatetimeSlots };
ProcessCell g_datetime_cell;

PyObject* datetime_objects() {
    return g_datetime_cell.get([]() -> PyObject* {
        PyRef module = PyRef::steal(PyImport_ImportModule("datetime"));
        if (!module) return nullptr;
        PyRef timedelta = PyRef::steal(PyObject_GetAttrString(module.get(), "timedelta"));
        PyRef datetime = PyRef::steal(PyObject_GetAttrString(module.get(), "datetime"));
        PyRef timezone = PyRef::steal(PyObject_GetAttrString(module.get(), "timezone"));
        if (!timedelta || !datetime || !timezone) return nullptr;
        PyRef utc = PyRef::steal(PyObject_GetAttrString(timezone.get(), "utc"));
        if (!utc) return nullptr;
        PyRef epoch =
            PyRef::steal(PyObject_CallFunction(datetime.get(), "iiiiiiiO", 1970, 1, 1, 0, 0, 0, 0, utc.get()));
        // On the class itself these are the descriptors (member descriptors of
        // the C implementation, properties of the pure-Python one).
        PyRef days = PyRef::steal(PyObject_GetAttrString(timedelta.get(), "days"));
        PyRef seconds = PyRef::steal(PyObject_GetAttrString(timedelta.get(), "seconds"));
        PyRef micros = PyRef::steal(PyObject_GetAttrString(timedelta.get(), "microseconds"));
        if (!epoch || !days || !seconds || !micros) return nullptr;
        return PyTuple_Pack(kDatetimeSlots, timedelta.get(), epoch.get(), days.get(), seconds.get(), micros.get());
    });
}

// Reads one timedelta field through the base class's descriptor.
bool timedelta_field(PyObject* objects, DatetimeSlot slot, PyObject* td, long long& out) {
    PyRef value = PyRef::steal(PyObject_CallMethod(PyTuple_GetItem(objects, slot), "__get__", "O", td));
    if (!value) return false;
    out = PyLong_AsLongLong(value.get());
    return !(out == -1 && PyErr_Occurred());
}

}  // namespace

PyObject* to_python(std::chrono::sys_seconds t) {
    PyObject* objects = datetime_objects();
    if (!objects) return nullptr;
    const long long total = t.time_since_epoch().count();
    long long days = total / 86400;
    long long seconds = total % 86400;
    if (seconds < 0) {
        seconds += 86400;
        days -= 1;
    }
    PyRef delta = PyRef::steal(PyObject_CallFunction(PyTuple_GetItem(objects, kTimedelta), "LLi", days, seconds, 0));
    if (!delta) return nullptr;
    return PyNumber_Add(PyTuple_GetItem(objects, kEpoch), delta.get());
}

PyRef type_name_of(PyObject* obj) {
    return PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
}

bool refuse_conversion(PyObject* obj, const char* target) {
    PyRef name = type_name_of(obj);
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    return false;
}

bool StrArg::load(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return refuse_conversion(obj, "str");
    utf8 = PyRef::steal(PyUnicode_AsUTF8String(obj));  // UnicodeEncodeError for lone surrogates
    if (!utf8) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return false;
    view = std::string_view(data, static_cast<size_t>(size));
    return true;
}

bool BoolArg::load(PyObject* obj) {
    if (PyBool_Check(obj)) {
        value = obj == Py_True;
        return true;
    }
    // numpy's boolean scalar (numpy.bool_, named numpy.bool since numpy 2),
    // recognised by name so numpy stays optional.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
    PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
    if (!module || !name) return false;
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
        (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        value = truth != 0;
        return true;
    }
    return refuse_conversion(obj, "bool");
}

template <std::unsigned_integral U>
bool UIntArg<U>::load(PyObject* obj) {
    if (!PyLong_Check(obj)) {
        PyRef name = type_name_of(obj);
        if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be interpreted as an integer", name.get());
        return false;
    }
    const auto out_of_range = [] {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    };
    // For a narrow type -1 is as out of range as 256, not the interpreter's
    // "negative to unsigned" case. Only ints past 64 bits (and negatives for
    // the full 64-bit type) keep the interpreter's own OverflowError.
    if constexpr (std::numeric_limits<U>::max() < std::numeric_limits<unsigned long long>::max()) {
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (s == -1 && PyErr_Occurred()) return false;
        if (overflow == 0 && s < 0) return out_of_range();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (v > std::numeric_limits<U>::max()) return out_of_range();
    value = static_cast<U>(v);
    return true;
}
template struct UIntArg<uint8_t>;
template struct UIntArg<uint16_t>;
template struct UIntArg<uint64_t>;

template <PyEnum E>
bool SeqArg<E>::load(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) return refuse_conversion(obj, "Sequence");
    // Only a capacity hint: a failing or absurd length (range(10**18)) must
    // not decide anything, the items do.
    constexpr Py_ssize_t kMaxHint = 64;
    const Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) PyErr_Clear();
    values.clear();
    values.reserve(static_cast<size_t>(std::clamp<Py_ssize_t>(hint, 0, kMaxHint)));
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        E value{};
        if (!enum_from_python(item.get(), value)) return false;
        values.push_back(value);
    }
    return !PyErr_Occurred();
}
template struct SeqArg<EthLinkSpeed>;
template struct SeqArg<EthRole>;

bool BytesArg::load(PyObject* obj) {
    if (!PyBytes_Check(obj)) return refuse_conversion(obj, "bytes");
    owner = PyRef::borrow(obj);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    view = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
    return true;
}

bool DurationArg::load(PyObject* obj) {
    PyObject* objects = datetime_objects();
    if (!objects) return false;
    // The real type, not isinstance(): a faked __class__ must not pass.
    auto* timedelta = reinterpret_cast<PyTypeObject*>(PyTuple_GetItem(objects, kTimedelta));
    if (!PyType_IsSubtype(Py_TYPE(obj), timedelta)) return refuse_conversion(obj, "timedelta");
    long long days = 0, seconds = 0, micros = 0;
    if (!timedelta_field(objects, kDays, obj, days) || !timedelta_field(objects, kSeconds, obj, seconds) ||
        !timedelta_field(objects, kMicroseconds, obj, micros))
        return false;
    if (days < 0) {
        PyErr_SetString(PyExc_ValueError, "a negative timedelta cannot be converted to a duration");
        return false;
    }
    // timedelta normalises seconds and microseconds; anything else is not a
    // real timedelta's state and is refused rather than trusted.
    if (seconds < 0 || seconds >= 86400 || micros < 0 || micros >= 1'000'000) {
        PyErr_SetString(PyExc_ValueError, "timedelta fields out of range");
        return false;
    }
    long long total_us = 0, nanos = 0;
    if (__builtin_mul_overflow(days, 86'400'000'000LL, &total_us) ||
        __builtin_add_overflow(total_us, seconds * 1'000'000LL + micros, &total_us) ||
        __builtin_mul_overflow(total_us, 1000LL, &nanos)) {
        PyErr_SetString(PyExc_OverflowError, "timedelta too large to be converted to a duration");
        return false;
    }
    value = std::chrono::nanoseconds(nanos);
    return true;
}

bool parse_arguments(PyObject* args, PyObject* kwargs, const char* function, std::span<const char* const> names,
                     std::span<PyObject*> out, size_t required) {
    const auto n = static_cast<Py_ssize_t>(names.size());
    const Py_ssize_t given = PyTuple_Size(args);
    if (given > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", function, n, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);
    if (kwargs && PyDict_Size(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t match = -1;
            for (Py_ssize_t i = 0; i < n && PyUnicode_Check(key); ++i)
                if (PyUnicode_CompareWithASCIIString(key, names[static_cast<size_t>(i)]) == 0) match = i;
            if (match < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, key);
                return false;
            }
            if (match < given) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                             names[static_cast<size_t>(match)]);
                return false;
            }
            out[static_cast<size_t>(match)] = value;
        }
    }
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::min(required, names.size())); ++i)
        if (!out[static_cast<size_t>(i)]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function,
                         names[static_cast<size_t>(i)], i + 1);
            return false;
        }
    return true;
}

}  // namespace tq::py
