// The twelve enumeration classes, generated from the EnumInfo tables next to
// the client's enum types. Members are single instances per process.
#pragma once

#include "python/pyref.hpp"

#include <cstdint>
#include <type_traits>

#include "protocol/types.hpp"

namespace tq::py {

template <class E>
concept PyEnum = std::is_enum_v<E> && requires {
    EnumInfo<E>::members;
};

// Borrowed; nullptr with an error set on failure.
template <PyEnum E>
PyTypeObject* enum_type();

// The cached member for `value` (borrowed); a value outside the enumeration is
// a broken invariant and raises the internal fault.
template <PyEnum E>
PyObject* enum_member(E value);

// Accepts exactly the members of E (plain ints are refused) with a TypeError.
template <PyEnum E>
bool enum_from_python(PyObject* obj, E& out);

}  // namespace tq::py
