// How a call that waits is stopped from Python: Ctrl-C on the main thread,
// and on any thread a stop another thread requests for it (the asyncio
// module's cancellation, through the private _interrupt_thread function).
#include <Python.h>

#include <atomic>
#include <mutex>
#include <unordered_set>

#include "net/platform.hpp"
#include "python/functions.hpp"
#include "python/method.hpp"

namespace tq::py {
namespace {

std::atomic<unsigned long> main_thread{0};

// Threads whose current call is to stop, by interpreter thread ident; the
// thread's owner clears the request once the call has returned.
std::mutex stops_mutex;
std::unordered_set<unsigned long> stops;

bool stop_requested(unsigned long thread) {
    const std::lock_guard lock(stops_mutex);
    return stops.count(thread) != 0;
}

bool interrupted_here(bool run_signal_handlers) noexcept {
    const bool stop = stop_requested(os::thread_ident());
    if (!stop && !run_signal_handlers) return false;
    const ReleasedInterpreter::InterpreterLock held;
    if (PyErr_Occurred() != nullptr) return true;
    if (stop) {
        PyErr_SetString(PyExc_InterruptedError, "The call was stopped by another thread");
        return true;
    }
    return PyErr_CheckSignals() != 0;
}

// Ctrl-C's SIGINT ends the main thread's blocking system calls, and only the
// main thread runs signal handlers; other threads' waits are sliced, so a
// requested stop is seen within the client's poll interval.
constexpr InterruptCheck kMainThread{[](void*) noexcept { return interrupted_here(true); }, nullptr, true};
constexpr InterruptCheck kOtherThread{[](void*) noexcept { return interrupted_here(false); }, nullptr, false};

}  // namespace

void note_main_thread(unsigned long ident) noexcept {
    main_thread = ident;
}

const InterruptCheck* python_interrupt_check() noexcept {
    return os::thread_ident() == main_thread.load() ? &kMainThread : &kOtherThread;
}

PyObject* interrupt_thread(PyObject*, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        unsigned long thread = 0;
        int stop = 0;
        if (!PyArg_ParseTuple(args, "kp:_interrupt_thread", &thread, &stop)) return nullptr;
        const std::lock_guard lock(stops_mutex);
        if (stop) {
            stops.insert(thread);
        } else {
            stops.erase(thread);
        }
        Py_RETURN_NONE;
    });
}

}  // namespace tq::py
