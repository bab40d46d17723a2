#include "python/objects.hpp"

#include "python/errors.hpp"

namespace tq::py {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    PyRef module = PyRef::steal(PyObject_GetAttrString(cls, "__module__"));
    PyRef name = module ? PyRef::steal(PyObject_GetAttrString(cls, "__qualname__")) : PyRef();
    if (name) PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), name.get());
    return nullptr;
}

}  // namespace tq::py
