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
};

// Receive and send timeout while an update runs.
inline constexpr int kFirmwareUpdateTimeoutSeconds = 5;

}  // namespace tq
