// Stopping a call while it waits: Ctrl-C in an interpreter, a scan ending
// its connects. A thread installs a check; while it waits on a socket, for a
// device's connection or in a scan's wait, it asks the check at least every
// kInterruptPoll and whenever a system call returns early for a signal. Once
// the check says yes the call gives up as it would at a timeout: a stream in
// the middle of an exchange is closed (the next call reconnects).
#pragma once

#include <atomic>
#include <chrono>

namespace tq {

inline constexpr std::chrono::milliseconds kInterruptPoll{50};

struct InterruptCheck {
    bool (*interrupted)(void* ctx) = nullptr;
    void* ctx = nullptr;
    // What the check reports comes with a signal to this thread, which ends
    // a blocking system call early (Ctrl-C): a wait may then block in the
    // kernel for longer than kInterruptPoll. Otherwise every wait is sliced.
    bool signalled = false;
};

// Installs `check` for this thread while alive (nullptr: none, as inside a
// firmware finalize, which runs to its answer); the previous one comes back.
class InterruptScope {
public:
    explicit InterruptScope(const InterruptCheck* check) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    const InterruptCheck* previous_;
};

// Whether this thread has a check at all: waits without one need no slices.
bool interruptible() noexcept;
// Whether a wait may block in the kernel beyond kInterruptPoll: no check, or
// one whose events interrupt system calls.
bool may_block_in_kernel() noexcept;
// Asks this thread's check; false without one.
bool interrupted() noexcept;

// A check that reads a flag another thread sets.
inline InterruptCheck flag_check(const std::atomic<bool>& flag) {
    return {[](void* f) { return static_cast<const std::atomic<bool>*>(f)->load(std::memory_order_relaxed); },
            const_cast<std::atomic<bool>*>(&flag)};
}

}  // namespace tq
