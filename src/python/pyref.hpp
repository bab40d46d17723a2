// The one owner type for PyObject references, and the process-wide cell that
// holds the module's type objects, exception types and enum members.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace tq::py {

// Owns one strong reference. Whether a pointer is new or borrowed is said at
// the point it enters: PyRef::steal(new_ref) or PyRef::borrow(borrowed_ref).
class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning a new reference).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit PyRef(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// A PyObject created once per process and kept forever, so a second module
// object (re-import after removal from sys.modules) publishes the same one.
// Creation runs with the interpreter lock held; a thread that finds another
// thread creating waits for it with the interpreter lock released, because
// creation may itself let other threads run (a collection running finalizers).
class ProcessCell {
public:
    // Returns a borrowed reference, or nullptr with a Python error set.
    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* v = value_.load(std::memory_order_acquire)) return v;
        return create(std::forward<Make>(make));
    }

private:
    template <class Make>
    PyObject* create(Make&& make) {
        if (creator_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            PyErr_SetString(PyExc_RuntimeError, "plenko_tq_api: type creation re-entered");
            return nullptr;
        }
        if (!creating_.try_lock()) {
            PyThreadState* saved = PyEval_SaveThread();
            creating_.lock();
            PyEval_RestoreThread(saved);
        }
        std::unique_lock lock(creating_, std::adopt_lock);
        if (PyObject* v = value_.load(std::memory_order_acquire)) return v;
        creator_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        PyObject* made = make();  // new reference or nullptr with error set
        creator_.store(std::thread::id{}, std::memory_order_relaxed);
        value_.store(made, std::memory_order_release);
        return made;
    }

    std::atomic<PyObject*> value_{nullptr};
    std::atomic<std::thread::id> creator_{};
    std::mutex creating_;
};

}  // namespace tq::py
