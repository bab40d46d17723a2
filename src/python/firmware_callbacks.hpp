// The bridge that presents a Python callbacks object to the client's firmware
// update as its FirmwareUpdateCallbacks.
#pragma once

#include "python/pyref.hpp"

#include "client/firmware.hpp"
#include "python/convert.hpp"

namespace tq::py {

// Calls the object's methods by attribute name at call time, holding the
// interpreter lock for each call (the update itself runs without it). A failing call
// never reaches the update: the exception is taken, reported as one line on
// standard output (fd 1), and the update goes on.
class CallbacksBridge final : public FirmwareUpdateCallbacks {
public:
    explicit CallbacksBridge(PyObject* target) noexcept : target_(target) {}
    void update_started(uint64_t total_bytes) override;
    void report_progress(uint64_t total_transferred_bytes) override;
    void start_finalizing() override;
    void update_finished(FirmwareUpdateResult result) override;
    void set_target(PyObject* target) noexcept { target_ = target; }

private:
    void call_with(const char* name, PyObject* arg) noexcept;  // steals arg; nullptr means an error is pending
    PyObject* target_;
};

// The `callbacks` argument of the update methods: any object, kept alive (a
// new reference) until the call returns.
struct CallbacksArg {
    bool load(PyObject* obj) {
        owner = PyRef::borrow(obj);
        bridge.set_target(obj);
        return true;
    }
    FirmwareUpdateCallbacks& get() { return bridge; }
    PyRef owner;
    CallbacksBridge bridge{nullptr};
};

template <>
struct ConverterFor<FirmwareUpdateCallbacks> {
    using type = CallbacksArg;
};

// Writes "Failed to call python function with error PyErr { ... }" for the
// pending exception (or a SystemError if none is pending) and clears it.
void report_callback_failure() noexcept;

}  // namespace tq::py
