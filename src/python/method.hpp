// The one shape of every method that reaches the client: parse the
// arguments, convert them in order, make one client call, convert the result
// back or raise. Each class lists its methods as method_def<...>(doc) rows.
#pragma once

#include "python/pyref.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "client/diagnostics.hpp"
#include "client/interrupt.hpp"
#include "python/convert.hpp"
#include "python/diagnostics.hpp"
#include "python/errors.hpp"
#include "python/firmware_callbacks.hpp"
#include "python/objects.hpp"

namespace tq::py {

// For the duration of one client call: the interpreter lock is released, so
// other Python threads run while this one waits on the network or for a
// device's connection. Python code the call reaches (firmware-update
// callbacks) runs inside an InterpreterLock, which takes it back for that
// long. Scopes nest: a callback may call the module again.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() noexcept : outer_(saved_) { saved_ = PyEval_SaveThread(); }
    ~ReleasedInterpreter() {
        PyEval_RestoreThread(saved_);
        saved_ = outer_;
    }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

    // Holds the interpreter lock again, inside a ReleasedInterpreter of this
    // thread (elsewhere it does nothing: the lock is held already).
    class InterpreterLock {
    public:
        InterpreterLock() noexcept : state_(std::exchange(saved_, nullptr)) {
            if (state_ != nullptr) PyEval_RestoreThread(state_);
        }
        ~InterpreterLock() {
            if (state_ != nullptr) saved_ = PyEval_SaveThread();
        }
        InterpreterLock(const InterpreterLock&) = delete;
        InterpreterLock& operator=(const InterpreterLock&) = delete;

    private:
        PyThreadState* state_;
    };

private:
    static inline thread_local PyThreadState* saved_ = nullptr;
    PyThreadState* outer_;
};

// The object's value type and the converters of an operation's parameters;
// operations are const member functions of the client types or free
// functions taking the value first.
template <class Op>
struct OpTraits;
template <class R, class C, class... P>
struct OpTraits<R (C::*)(P...) const> {
    using Self = C;
    using Converters = std::tuple<ArgConverter<P>...>;
};
template <class R, class C, class... P>
struct OpTraits<R (C::*)(P...) const noexcept> : OpTraits<R (C::*)(P...) const> {};
template <class R, class C, class... P>
struct OpTraits<R (*)(const C&, P...)> {
    using Self = C;
    using Converters = std::tuple<ArgConverter<P>...>;
};

// The interrupt check of a call (client/interrupt.hpp). On the main thread
// it runs the interpreter's signal handlers, so Ctrl-C reaches a call that
// waits; on any thread it also sees a stop that another thread requested
// for this one (the asyncio module cancelling a task, python/interrupt.cpp).
// Once a handler has raised, or the stop has set its exception, the
// exception stays pending and the call ends with it, whatever the client
// returns.
const InterruptCheck* python_interrupt_check() noexcept;

// The diagnostic lines the call reports, from any of its threads, are
// logged on this thread once it has the interpreter lock back, before the
// result or the exception is made (python/diagnostics.hpp).
template <auto Op, class Self, class Convs>
PyObject* call_client(const Self& self, Convs& convs) {
    CallDiagnostics diagnostics;
    auto call = [&] {
        const ReleasedInterpreter released;
        const InterruptScope interruptible(python_interrupt_check());
        const DiagnosticScope reporting(diagnostics.sink());
        return std::apply([&](auto&... c) { return std::invoke(Op, self, c.get()...); }, convs);
    };
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        diagnostics.emit();
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    } else {
        auto result = call();
        diagnostics.emit();
        if (PyErr_Occurred()) return nullptr;
        return result_to_python(std::move(result));
    }
}

template <auto Op>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    using Traits = OpTraits<decltype(Op)>;
    return guarded([&] {
        std::tuple<> none;
        return call_client<Op>(value_of<typename Traits::Self>(self), none);
    });
}

template <FixedString Name, auto Op, FixedString... ArgNames>
PyObject* method_args(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    using Traits = OpTraits<decltype(Op)>;
    static_assert(std::tuple_size_v<typename Traits::Converters> == sizeof...(ArgNames));
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, sizeof...(ArgNames)> names{ArgNames.c_str()...};
        std::array<PyObject*, sizeof...(ArgNames)> raw{};
        if (!parse_arguments(args, kwargs, Name.c_str(), names, raw, kRequiredArgs<typename Traits::Converters>))
            return nullptr;
        typename Traits::Converters convs;
        if (!load_arguments(convs, raw, names.data())) return nullptr;
        return call_client<Op>(value_of<typename Traits::Self>(self), convs);
    });
}

// One row of a method table. The docstring starts with the text signature.
template <FixedString Name, auto Op, FixedString... ArgNames>
PyMethodDef method_def(const char* doc) {
    if constexpr (sizeof...(ArgNames) == 0)
        return {Name.c_str(), method_fn(&method_noargs<Op>), METH_NOARGS, doc};
    else
        return {Name.c_str(), method_fn(&method_args<Name, Op, ArgNames...>), METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace tq::py
