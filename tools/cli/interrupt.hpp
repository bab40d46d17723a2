// Ctrl-C (SIGINT) and SIGTERM while firmware is being written. The default
// action would end the process at any point, also while a device finalizes
// (checks the image and writes it to flash), and cutting that short can
// leave a device that no longer starts. While a guard lives, the signals only
// record the request: updates still sending stop between chunks, updates
// already finalizing run to their answer.
#pragma once

#include "net/platform.hpp"

namespace tq::cli {

class InterruptGuard {
public:
    InterruptGuard() = default;
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    os::StopHook hook_;
};

// Whether a signal arrived since the innermost live guard was made.
bool interrupt_requested();

}  // namespace tq::cli
