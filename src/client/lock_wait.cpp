#include "client/lock_wait.hpp"

namespace tq {
namespace {
thread_local const LockWaitHook* t_hook = nullptr;
}

void set_lock_wait_hook(const LockWaitHook* hook) noexcept {
    t_hook = hook;
}
const LockWaitHook* lock_wait_hook() noexcept {
    return t_hook;
}

}  // namespace tq
