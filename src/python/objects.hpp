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

// What distinguishes one of the module's classes from another.
struct ClassSpec {
    const char* name;  // "plenko_tq_api.X"; kept by older interpreters, so static
    const char* doc = nullptr;
    PyMethodDef* methods = nullptr;
    PyGetSetDef* properties = nullptr;
    newfunc construct = &refuse_new;
    bool subclassable = false;
};

// The class holding a T, created from `spec` on first use and kept for the
// life of the process by `cell`.
template <class T>
PyTypeObject* class_type(ProcessCell& cell, const ClassSpec& spec) {
    return reinterpret_cast<PyTypeObject*>(cell.get([&] {
        PyType_Slot slots[6];
        size_t n = 0;
        if (spec.doc) slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
        if (spec.methods) slots[n++] = {Py_tp_methods, spec.methods};
        if (spec.properties) slots[n++] = {Py_tp_getset, spec.properties};
        slots[n++] = {Py_tp_new, slot_fn(spec.construct)};
        slots[n++] = {Py_tp_dealloc, slot_fn(&dealloc_box<T>)};
        slots[n] = {0, nullptr};
        const unsigned flags = Py_TPFLAGS_DEFAULT | (spec.subclassable ? Py_TPFLAGS_BASETYPE : 0);
        PyType_Spec type_spec = {spec.name, static_cast<int>(sizeof(Box<T>)), 0, flags, slots};
        return PyType_FromSpec(&type_spec);
    }));
}

}  // namespace tq::py
