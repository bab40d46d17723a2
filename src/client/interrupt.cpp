#include "client/interrupt.hpp"

namespace tq {
namespace {
thread_local const InterruptCheck* t_check = nullptr;
}

InterruptScope::InterruptScope(const InterruptCheck* check) noexcept : previous_(t_check) {
    t_check = check;
}

InterruptScope::~InterruptScope() {
    t_check = previous_;
}

bool interruptible() noexcept {
    return t_check != nullptr && t_check->interrupted != nullptr;
}

bool may_block_in_kernel() noexcept {
    return !interruptible() || t_check->signalled;
}

bool interrupted() noexcept {
    return interruptible() && t_check->interrupted(t_check->ctx);
}

}  // namespace tq
