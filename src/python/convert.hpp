// Conversions between client values and Python objects: results going out,
// arguments coming in. Argument converters set a Python error and return
// false on failure; the caller names the argument (prefix_type_error).
#pragma once

#include "python/pyref.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "client/error.hpp"
#include "python/classes.hpp"
#include "python/enums.hpp"
#include "python/errors.hpp"

namespace tq::py {

// A string usable as a template argument (method, argument and field names).
template <size_t N>
struct FixedString {
    char chars[N];
    constexpr FixedString(const char (&in)[N]) { std::copy_n(in, N, chars); }
    constexpr const char* c_str() const { return chars; }
};

// ---- results ---------------------------------------------------------------

inline PyObject* to_python(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_python(bool b) {
    return PyBool_FromLong(b);
}
template <std::unsigned_integral U>
requires(!std::same_as<U, bool>) PyObject* to_python(U v) {
    return PyLong_FromUnsignedLongLong(v);
}
template <PyEnum E>
PyObject* to_python(E e) {
    PyObject* member = enum_member(e);
    Py_XINCREF(member);
    return member;
}
// A UTC datetime: the epoch plus a timedelta, so the interpreter's own range
// check (year 9999) applies.
PyObject* to_python(std::chrono::sys_seconds t);

template <class T>
requires kHasClass<T> PyObject* to_python(T value) {
    return new_object<T>(std::move(value));
}

template <class T>
requires(PyEnum<T> || kHasClass<T>) PyObject* to_python(std::vector<T> values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = to_python(std::move(values[i]));
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

// A client call's outcome: the value converted, None for void, or the
// exception of the Error table.
template <class T, class E>
PyObject* result_to_python(tl::expected<T, E>&& r) {
    if (!r) return raise_error(r.error());
    if constexpr (std::is_void_v<T>)
        Py_RETURN_NONE;
    else
        return to_python(std::move(*r));
}
template <class T>
PyObject* result_to_python(T&& plain) {
    if constexpr (std::is_void_v<std::remove_cvref_t<T>>)
        Py_RETURN_NONE;
    else
        return to_python(std::forward<T>(plain));
}

// ---- arguments -------------------------------------------------------------

// __name__ of obj's type, for messages. New reference or nullptr.
PyRef type_name_of(PyObject* obj);
// TypeError "'<type>' object cannot be converted to '<target>'".
bool refuse_conversion(PyObject* obj, const char* target);

struct StrArg {
    bool load(PyObject* obj);
    std::string_view get() const { return view; }
    PyRef utf8;
    std::string_view view;
};

// A bool, or a numpy boolean scalar through its __bool__; ints are refused.
struct BoolArg {
    bool load(PyObject* obj);
    bool get() const { return value; }
    bool value = false;
};

template <std::unsigned_integral U>
struct UIntArg {
    bool load(PyObject* obj);
    U get() const { return value; }
    U value = 0;
};
extern template struct UIntArg<uint8_t>;
extern template struct UIntArg<uint16_t>;
extern template struct UIntArg<uint64_t>;

template <PyEnum E>
struct EnumArg {
    bool load(PyObject* obj) { return enum_from_python(obj, value); }
    E get() const { return value; }
    E value{};
};

// The sequence rule: any sequence but str, its length only a capacity hint,
// items read by iteration, each an exact member of E.
template <PyEnum E>
struct SeqArg {
    bool load(PyObject* obj);
    std::vector<E> get() const { return values; }
    std::vector<E> values;
};

// A bytes object, read in place for the duration of the call.
struct BytesArg {
    bool load(PyObject* obj);
    std::span<const uint8_t> get() const { return view; }
    PyRef owner;
    std::span<const uint8_t> view;
};

// A datetime.timedelta (or subclass), not negative, that fits a nanosecond
// count. The fields are read through timedelta's own descriptors, so a
// subclass overriding days/seconds/microseconds changes nothing.
struct DurationArg {
    bool load(PyObject* obj);
    std::chrono::nanoseconds get() const { return value; }
    std::chrono::nanoseconds value{0};
};

// ---- value classes read field by field ------------------------------------

template <FixedString Name, auto Member>
struct Field {
    static constexpr const char* name = Name.c_str();
    static constexpr auto member = Member;
};

// Which converter reads a Python value into a client type: constructor
// arguments, attributes and method parameters alike.
template <class M>
struct ConverterFor;
template <>
struct ConverterFor<std::string_view> {
    using type = StrArg;
};
template <>
struct ConverterFor<std::span<const uint8_t>> {
    using type = BytesArg;
};
template <>
struct ConverterFor<std::chrono::nanoseconds> {
    using type = DurationArg;
};
template <>
struct ConverterFor<bool> {
    using type = BoolArg;
};
template <>
struct ConverterFor<uint8_t> {
    using type = UIntArg<uint8_t>;
};
template <>
struct ConverterFor<uint64_t> {
    using type = UIntArg<uint64_t>;
};
template <PyEnum E>
struct ConverterFor<E> {
    using type = EnumArg<E>;
};
template <PyEnum E>
struct ConverterFor<std::vector<E>> {
    using type = SeqArg<E>;
};

template <class F, class T>
using FieldConverter = typename ConverterFor<std::remove_cvref_t<decltype(std::declval<T&>().*(F::member))>>::type;

// Python name of a value class, for "failed to extract field X.y".
template <class T>
inline constexpr const char* kClassName = nullptr;
template <>
inline constexpr const char* kClassName<EthInterfaceConfig> = "EthInterfaceConfig";
template <>
inline constexpr const char* kClassName<PacketGeneratorConfig> = "PacketGeneratorConfig";

// The attribute reading rule: any object with the attributes will do; they are
// read by name in the list's order and the first failure ends the reading.
template <class T, class... Fields>
bool read_attributes(PyObject* obj, T& out) {
    auto one = [&]<class F>(F*) {
        PyRef attr = PyRef::steal(PyObject_GetAttrString(obj, F::name));
        FieldConverter<F, T> conv;
        if (!attr || !conv.load(attr.get())) {
            chain_type_error(std::string("failed to extract field ") + kClassName<T> + "." + F::name);
            return false;
        }
        out.*(F::member) = conv.get();
        return true;
    };
    return (one(static_cast<Fields*>(nullptr)) && ...);
}

// Attribute reading order per class.
template <class T>
struct AttributeOrder;
template <>
struct AttributeOrder<EthInterfaceConfig> {
    static bool read(PyObject* obj, EthInterfaceConfig& out) {
        return read_attributes<EthInterfaceConfig, Field<"role", &EthInterfaceConfig::role>,
                               Field<"speed", &EthInterfaceConfig::speed>,
                               Field<"aneg_mode", &EthInterfaceConfig::aneg_mode>>(obj, out);
    }
};
template <>
struct AttributeOrder<PacketGeneratorConfig> {
    static bool read(PyObject* obj, PacketGeneratorConfig& out) {
        using P = PacketGeneratorConfig;
        return read_attributes<P, Field<"enabled", &P::enabled>, Field<"payload_size", &P::payload_size>,
                               Field<"payload_type", &P::payload_type>, Field<"validity", &P::validity>,
                               Field<"burst_size", &P::burst_size>>(obj, out);
    }
};

template <class T>
struct AttrArg {
    bool load(PyObject* obj) { return AttributeOrder<T>::read(obj, value); }
    const T& get() const { return value; }
    T value{};
};
template <>
struct ConverterFor<EthInterfaceConfig> {
    using type = AttrArg<EthInterfaceConfig>;
};
template <>
struct ConverterFor<PacketGeneratorConfig> {
    using type = AttrArg<PacketGeneratorConfig>;
};

// The converter of a client operation's parameter (by value or reference).
template <class P>
using ArgConverter = typename ConverterFor<std::remove_cvref_t<P>>::type;

// ---- argument lists ----------------------------------------------------------

// A converter with `static constexpr bool kOptional = true` is for a trailing
// parameter that may be left out; its load() then sees nullptr.
template <class Conv>
inline constexpr bool kOptionalArg = requires {
    Conv::kOptional;
};
// How many of a converter tuple's parameters must be given.
template <class Convs>
inline constexpr size_t kRequiredArgs = 0;
template <class... Conv>
inline constexpr size_t kRequiredArgs<std::tuple<Conv...>> = (size_t{!kOptionalArg<Conv>} + ... + 0);

// Positional then keyword arguments against `names`; the first `required`
// parameters (all by default) must be given. Fills `out` with borrowed
// references, nullptr for an optional parameter left out.
bool parse_arguments(PyObject* args, PyObject* kwargs, const char* function, std::span<const char* const> names,
                     std::span<PyObject*> out, size_t required = SIZE_MAX);

// Loads each converter from its argument in order, naming the argument in a
// TypeError; stops at the first failure.
template <class... Conv, size_t N>
bool load_arguments(std::tuple<Conv...>& convs, const std::array<PyObject*, N>& raw, const char* const* names) {
    return [&]<size_t... I>(std::index_sequence<I...>) {
        auto one = [&](auto& conv, size_t i) {
            if (conv.load(raw[i])) return true;
            prefix_type_error("argument '%s': ", names[i]);
            return false;
        };
        return (one(std::get<I>(convs), I) && ...);
    }
    (std::index_sequence_for<Conv...>{});
}

}  // namespace tq::py
