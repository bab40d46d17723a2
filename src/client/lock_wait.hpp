// Lets an embedding release its own global lock while a thread waits for a
// busy device connection. The Python module installs a hook that drops the
// interpreter lock only for that wait, so a firmware-update callback that
// lets other Python threads run cannot deadlock against them.
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
