#include "client/connection.hpp"

#include "client/interrupt.hpp"
#include "client/lock_wait.hpp"

namespace tq {

Result<ConnectionLock> DeviceConnection::acquire() {
    const auto me = std::this_thread::get_id();
    // Only this thread can have stored its own id, so a relaxed read is exact.
    if (owner_.load(std::memory_order_relaxed) == me) return fail(Error::Kind::FailedToAquireLock);
    if (closed_.load(std::memory_order_acquire)) return fail(Error::Kind::ConnectionError);
    if (!lock_mutex()) {
        return fail(Error::Kind::ApiError, "Interrupted while waiting for the device's connection; nothing was sent");
    }
    owner_.store(me, std::memory_order_relaxed);
    if (closed_.load(std::memory_order_relaxed)) {
        release(false);
        return fail(Error::Kind::ConnectionError);
    }
    if (poisoned_) {
        release(false);
        return fail(Error::Kind::FailedToAquireLock);
    }
    return ConnectionLock(*this);
}

Result<void> DeviceConnection::close() {
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        return fail(Error::Kind::FailedToAquireLock);
    }
    if (closed_.load(std::memory_order_acquire)) return {};
    if (!lock_mutex()) return fail(Error::Kind::ApiError, "Interrupted while waiting for the device's connection");
    if (!closed_.load(std::memory_order_relaxed)) {
        stream = TcpStream{};
        closed_.store(true, std::memory_order_release);
    }
    mutex_.unlock();
    return {};
}

bool DeviceConnection::lock_mutex() {
    if (mutex_.try_lock()) return true;
    const LockWaitHook* hook = lock_wait_hook();
    if (hook != nullptr && hook->release != nullptr) hook->release(hook->ctx);
    bool locked = true;
    if (!interruptible()) {
        mutex_.lock();
    } else {
        while (!mutex_.try_lock_for(kInterruptPoll)) {
            if (interrupted()) {
                locked = false;
                break;
            }
        }
    }
    if (hook != nullptr && hook->reacquire != nullptr) hook->reacquire(hook->ctx);
    return locked;
}

void DeviceConnection::release(bool poison) noexcept {
    if (poison) poisoned_ = true;
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    mutex_.unlock();
}

}  // namespace tq
