#include "client/connection.hpp"

#include "client/lock_wait.hpp"

namespace tq {

Result<ConnectionLock> DeviceConnection::acquire() {
    const auto me = std::this_thread::get_id();
    // Only this thread can have stored its own id, so a relaxed read is exact.
    if (owner_.load(std::memory_order_relaxed) == me) return fail(Error::Kind::FailedToAquireLock);
    if (!mutex_.try_lock()) {
        const LockWaitHook* hook = lock_wait_hook();
        if (hook != nullptr && hook->release != nullptr) hook->release(hook->ctx);
        mutex_.lock();
        if (hook != nullptr && hook->reacquire != nullptr) hook->reacquire(hook->ctx);
    }
    owner_.store(me, std::memory_order_relaxed);
    if (poisoned_) {
        release(false);
        return fail(Error::Kind::FailedToAquireLock);
    }
    return ConnectionLock(*this);
}

void DeviceConnection::release(bool poison) noexcept {
    if (poison) poisoned_ = true;
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    mutex_.unlock();
}

}  // namespace tq
