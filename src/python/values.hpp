// What the six value classes share: read-only properties generated from
// member pointers, and constructors that convert their arguments in order.
#pragma once

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/objects.hpp"

namespace tq::py {

template <class M>
struct MemberOf;
template <class T, class V>
struct MemberOf<V T::*> {
    using Class = T;
};

template <auto Member>
PyObject* get_member(PyObject* self, void*) noexcept {
    using T = typename MemberOf<decltype(Member)>::Class;
    return guarded([&] { return to_python(value_of<T>(self).*Member); });
}

// A property without setter or docstring: assignment raises AttributeError.
template <FixedString Name, auto Member>
PyGetSetDef property_def() {
    return {Name.c_str(), &get_member<Member>, nullptr, nullptr, nullptr};
}

// tp_new of a value class with a constructor: the Fields in signature order,
// each converted as the attribute reading rule converts it.
template <class T, FixedString ClassName, class... Fields>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, sizeof...(Fields)> names{Fields::name...};
        std::array<PyObject*, sizeof...(Fields)> raw{};
        if (!parse_arguments(args, kwargs, ClassName.c_str(), names, raw)) return nullptr;
        std::tuple<FieldConverter<Fields, T>...> convs;
        if (!load_arguments(convs, raw, names.data())) return nullptr;
        T value{};
        [&]<size_t... I>(std::index_sequence<I...>) {
            ((value.*(Fields::member) = std::get<I>(convs).get()), ...);
        }
        (std::index_sequence_for<Fields...>{});
        PyObject* obj = PyType_GenericAlloc(type, 0);
        if (!obj) return nullptr;
        ::new (static_cast<void*>(&value_of<T>(obj))) T(std::move(value));
        return obj;
    });
}

}  // namespace tq::py
