#include "cli/interrupt.hpp"

#include <atomic>

namespace tq::cli {

namespace {

// Lock-free, so the handler may store to it.
std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void record_interrupt(int /*signal*/) {
    g_requested.store(true, std::memory_order_relaxed);
}

}  // namespace

InterruptGuard::InterruptGuard() {
    g_requested.store(false, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = record_interrupt;
    sigemptyset(&action.sa_mask);
    // Blocking socket calls resume; the request is seen at the next chunk.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
}

bool interrupt_requested() {
    return g_requested.load(std::memory_order_relaxed);
}

}  // namespace tq::cli
