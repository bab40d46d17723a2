#include "python/enums.hpp"

#include <array>
#include <string_view>

#include "python/errors.hpp"
#include "python/objects.hpp"

namespace tq::py {
namespace {

struct EnumObject {
    PyObject_HEAD uint8_t value;
};

// Type names must outlive the types (older interpreters keep the pointer), so
// they are built at compile time.
template <PyEnum E>
struct EnumNames {
    static constexpr std::string_view prefix = "plenko_tq_api.";
    static constexpr std::string_view name = EnumInfo<E>::name;
    static constexpr auto qualified = [] {
        std::array<char, prefix.size() + name.size() + 1> out{};
        for (size_t i = 0; i < prefix.size(); ++i) out[i] = prefix[i];
        for (size_t i = 0; i < name.size(); ++i) out[prefix.size() + i] = name[i];
        return out;
    }();
};

template <PyEnum E>
struct EnumState {
    static inline ProcessCell cell;
    // Filled while the type is created, before the cell publishes it.
    static inline std::array<PyObject*, EnumInfo<E>::members.size()> members{};
};

template <PyEnum E>
PyObject* enum_repr(PyObject* self) noexcept {
    const auto value = reinterpret_cast<EnumObject*>(self)->value;
    // EnumInfo names are string literals, hence NUL-terminated.
    return PyUnicode_FromFormat("%s.%s", EnumInfo<E>::name.data(), EnumInfo<E>::members[value].data());
}

PyObject* enum_int(PyObject* self) noexcept {
    return PyLong_FromLong(reinterpret_cast<EnumObject*>(self)->value);
}

template <PyEnum E>
PyObject* enum_name(PyObject* self, void*) noexcept {
    const std::string_view name = EnumInfo<E>::members[reinterpret_cast<EnumObject*>(self)->value];
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* enum_value(PyObject* self, void*) noexcept {
    return enum_int(self);
}

// Pickles as "the class attribute of this name", so unpickling gives the
// member itself, never a copy.
template <PyEnum E>
PyObject* enum_reduce(PyObject* self, PyObject*) noexcept {
    PyRef name = PyRef::steal(enum_name<E>(self, nullptr));
    PyRef builtins = name ? PyRef::steal(PyImport_ImportModule("builtins")) : PyRef();
    PyRef getattr = builtins ? PyRef::steal(PyObject_GetAttrString(builtins.get(), "getattr")) : PyRef();
    if (!getattr) return nullptr;
    return Py_BuildValue("(O(OO))", getattr.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), name.get());
}

template <PyEnum E>
PyObject* enum_from_value(PyObject*, PyObject* arg) noexcept {
    const long value = PyLong_AsLong(arg);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 0 || static_cast<size_t>(value) >= EnumInfo<E>::members.size()) {
        PyErr_Format(PyExc_ValueError, "%ld is not a valid %s", value, EnumInfo<E>::name.data());
        return nullptr;
    }
    PyObject* member = EnumState<E>::members[static_cast<size_t>(value)];
    Py_INCREF(member);
    return member;
}

void enum_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

template <PyEnum E>
PyObject* create_enum_type() {
    static PyGetSetDef getset[] = {
        // Read-only and without docstrings, as every attribute of these classes.
        {"name", &enum_name<E>, nullptr, nullptr, nullptr},
        {"value", &enum_value, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"__reduce__", reinterpret_cast<PyCFunction>(&enum_reduce<E>), METH_NOARGS, nullptr},
        {"from_value", reinterpret_cast<PyCFunction>(&enum_from_value<E>), METH_O | METH_CLASS,
         "from_value($cls, value, /)\n--\n\nThe member with this value; ValueError if there is none."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(EnumInfo<E>::doc.data())},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_repr, slot_fn(&enum_repr<E>)},
        {Py_nb_int, slot_fn(&enum_int)},
        {Py_tp_new, slot_fn(&refuse_new)},
        {Py_tp_dealloc, slot_fn(&enum_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {EnumNames<E>::qualified.data(), sizeof(EnumObject), 0, Py_TPFLAGS_DEFAULT, slots};
    PyRef type = PyRef::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    auto& members = EnumState<E>::members;
    for (size_t i = 0; i < members.size(); ++i) {
        PyRef member = PyRef::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
        if (!member) return nullptr;
        reinterpret_cast<EnumObject*>(member.get())->value = static_cast<uint8_t>(i);
        const std::string_view name = EnumInfo<E>::members[i];
        PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key || PyObject_SetAttr(type.get(), key.get(), member.get()) < 0) return nullptr;
        members[i] = member.release();  // kept for the life of the process
    }
    // Every member in value order; the class itself stays not iterable.
    PyRef all = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(members.size())));
    if (!all) return nullptr;
    for (size_t i = 0; i < members.size(); ++i) {
        Py_INCREF(members[i]);
        PyTuple_SetItem(all.get(), static_cast<Py_ssize_t>(i), members[i]);
    }
    if (PyObject_SetAttrString(type.get(), "members", all.get()) < 0) return nullptr;
    return type.release();
}

}  // namespace

template <PyEnum E>
PyTypeObject* enum_type() {
    return reinterpret_cast<PyTypeObject*>(EnumState<E>::cell.get(&create_enum_type<E>));
}

template <PyEnum E>
PyObject* enum_member(E value) {
    if (!enum_type<E>()) return nullptr;
    const auto i = static_cast<size_t>(value);
    if (i >= EnumState<E>::members.size()) {
        raise_internal_fault("enumeration value without a member");
        return nullptr;
    }
    return EnumState<E>::members[i];
}

template <PyEnum E>
bool enum_from_python(PyObject* obj, E& out) {
    PyTypeObject* type = enum_type<E>();
    if (!type) return false;
    // The enum classes cannot be subclassed, so the exact type decides.
    if (Py_TYPE(obj) != type) {
        PyRef type_name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
        if (type_name)
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(),
                         EnumInfo<E>::name.data());
        return false;
    }
    out = static_cast<E>(reinterpret_cast<EnumObject*>(obj)->value);
    return true;
}

// E names a type in explicit instantiations: it cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TQ_INSTANTIATE_ENUM(E)             \
    template PyTypeObject* enum_type<E>(); \
    template PyObject* enum_member<E>(E);  \
    template bool enum_from_python<E>(PyObject*, E&);
TQ_INSTANTIATE_ENUM(EthLinkSpeed)
TQ_INSTANTIATE_ENUM(EthRole)
TQ_INSTANTIATE_ENUM(EthAnegMode)
TQ_INSTANTIATE_ENUM(EthLinkState)
TQ_INSTANTIATE_ENUM(Tc10State)
TQ_INSTANTIATE_ENUM(Tc10Command)
TQ_INSTANTIATE_ENUM(InterfaceType)
TQ_INSTANTIATE_ENUM(PgPayloadSize)
TQ_INSTANTIATE_ENUM(PgPayloadType)
TQ_INSTANTIATE_ENUM(PgPacketValidity)
TQ_INSTANTIATE_ENUM(FirmwareUpdateResult)
TQ_INSTANTIATE_ENUM(CableTestHarnessStatus)
#undef TQ_INSTANTIATE_ENUM
// NOLINTEND(bugprone-macro-parentheses)

}  // namespace tq::py
