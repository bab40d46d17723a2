// How the module's Python objects hold their client values, and the pieces
// every class file shares: allocation, finalisation, refused construction.
#pragma once

#include "python/pyref.hpp"

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace tq::py {

// A Python object owning one client value.
template <class T>
struct Box {
    PyObject_HEAD T value;
};

template <class T>
T& value_of(PyObject* self) noexcept {
    return reinterpret_cast<Box<T>*>(self)->value;
}

// The Python class holding a T. Borrowed, created once per process; nullptr
// with an error set when creation fails. Each class file defines its own.
template <class T>
PyTypeObject* python_type();

// A new object of T's class owning `value`.
template <class T>
PyObject* new_object(T value) {
    static_assert(std::is_nothrow_move_constructible_v<T>);
    PyTypeObject* type = python_type<T>();
    if (!type) return nullptr;
    PyObject* obj = PyType_GenericAlloc(type, 0);
    if (!obj) return nullptr;
    ::new (static_cast<void*>(&value_of<T>(obj))) T(std::move(value));
    return obj;
}

template <class T>
void dealloc_box(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&value_of<T>(self));
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// tp_new of classes that Python code cannot instantiate. Gives the same
// "cannot create 'plenko_tq_api.X' instances" TypeError on every CPython
// version (an inherited object.__new__ would otherwise make them callable
// before 3.10).
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// PyType_FromSpec for the module's classes; the type is kept for the life of
// the process by its cell.
inline PyObject* make_type(PyType_Spec& spec) {
    return PyType_FromSpec(&spec);
}

// Cast helpers for method and slot tables.
template <class F>
void* slot_fn(F* f) noexcept {
    return reinterpret_cast<void*>(f);
}
template <class F>
PyCFunction method_fn(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace tq::py

namespace tq::py {

// The class for `spec`, created on first use and kept for the process.
inline PyTypeObject* cached_type(ProcessCell& cell, PyType_Spec& spec) {
    return reinterpret_cast<PyTypeObject*>(cell.get([&] { return make_type(spec); }));
}

}  // namespace tq::py
