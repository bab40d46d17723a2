// Lets a thread act around a wait for a busy device connection: before it
// blocks and once it holds the connection. An embedding with a global lock of
// its own could drop it for the wait; the Python module needs none, as it
// releases the interpreter for the whole call. The fault soak uses it to time
// a call from the moment it holds the connection.
#pragma once

namespace tq {

struct LockWaitHook {
    void (*release)(void* ctx) = nullptr;    // called before blocking
    void (*reacquire)(void* ctx) = nullptr;  // called after the lock is held
    void* ctx = nullptr;
};

// Thread-local; nullptr removes the hook. The hook object must outlive its use.
void set_lock_wait_hook(const LockWaitHook* hook) noexcept;
const LockWaitHook* lock_wait_hook() noexcept;

}  // namespace tq
