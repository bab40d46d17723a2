// Progress interface of the firmware update. Called synchronously on the
// thread running the update, while it holds the device's connection lock.
#pragma once

#include <cstdint>

#include "protocol/types.hpp"

namespace tq {

class FirmwareUpdateCallbacks {
public:
    virtual ~FirmwareUpdateCallbacks() = default;
    virtual void update_started(uint64_t total_bytes) = 0;
    virtual void report_progress(uint64_t total_transferred_bytes) = 0;
    virtual void start_finalizing() = 0;
    virtual void update_finished(FirmwareUpdateResult result) = 0;

    // Asked before each chunk and once more before finalizing, as is the
    // thread's interrupt check (interrupt.hpp). True ends the update right
    // there with kFirmwareUpdateStoppedText, the device never asked to
    // finalize: a transfer may stop between chunks, but a finalize
    // once requested runs to its answer (cutting it short can leave a device
    // that does not start).
    virtual bool stop_requested() { return false; }
};

// ApiError text of an update ended by stop_requested().
inline constexpr const char* kFirmwareUpdateStoppedText = "Firmware update stopped before finalizing";

// Receive and send timeout while an update runs.
inline constexpr int kFirmwareUpdateTimeoutSeconds = 5;

}  // namespace tq
