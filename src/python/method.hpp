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

#include "client/lock_wait.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/firmware_callbacks.hpp"
#include "python/objects.hpp"

namespace tq::py {

// For the duration of one client call: if the call finds its device's
// connection busy (another Python thread's firmware update running a callback
// that let this thread in), it waits for the connection with the interpreter
// lock released and takes the interpreter lock back once it holds the
// connection. Without contention nothing is released.
class LockWaitScope {
public:
    LockWaitScope() noexcept : previous_(lock_wait_hook()) { set_lock_wait_hook(&hook_); }
    ~LockWaitScope() {
        set_lock_wait_hook(previous_);
        // Released but never taken back (the wait ended by an exception):
        // the interpreter lock must be held again before any Python code runs.
        if (saved_) PyEval_RestoreThread(std::exchange(saved_, nullptr));
    }
    LockWaitScope(const LockWaitScope&) = delete;
    LockWaitScope& operator=(const LockWaitScope&) = delete;

private:
    static void release(void* ctx) { *static_cast<PyThreadState**>(ctx) = PyEval_SaveThread(); }
    static void reacquire(void* ctx) {
        PyEval_RestoreThread(std::exchange(*static_cast<PyThreadState**>(ctx), nullptr));
    }

    PyThreadState* saved_ = nullptr;
    LockWaitHook hook_{&release, &reacquire, &saved_};
    const LockWaitHook* previous_;
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

template <auto Op, class Self, class Convs>
PyObject* call_client(const Self& self, Convs& convs) {
    auto call = [&] {
        LockWaitScope wait;
        return std::apply([&](auto&... c) { return std::invoke(Op, self, c.get()...); }, convs);
    };
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        Py_RETURN_NONE;
    } else {
        return result_to_python(call());
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
