// Firmware-update progress for a person watching: a bar redrawn in place on
// a terminal, plain lines (one per tenth of the image) when the output goes
// to a file or a pipe, so logs stay readable.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "client/firmware.hpp"

namespace tq::cli {

using ProgressClock = std::function<std::chrono::steady_clock::time_point()>;

// Rate and time left from what was sent in `elapsed`; unknown (nullopt) until
// something has been sent in a measurable time.
struct TransferEstimate {
    std::optional<double> bytes_per_second;
    std::optional<std::chrono::seconds> remaining;
};
TransferEstimate estimate(uint64_t sent, uint64_t total, std::chrono::duration<double> elapsed);

// "[##########----------]  50%  512.0 KiB / 1.0 MiB  256.0 KiB/s  0:02 left"
std::string render_progress_bar(uint64_t sent, uint64_t total, std::chrono::duration<double> elapsed,
                                size_t bar_width = 24);
// "sent 524288 of 1048576 bytes (50%), 256.0 KiB/s, 0:02 left"
std::string render_progress_line(uint64_t sent, uint64_t total, std::chrono::duration<double> elapsed);

class FlashProgress final : public FirmwareUpdateCallbacks {
public:
    FlashProgress(std::ostream& out, bool terminal, ProgressClock clock = &std::chrono::steady_clock::now);

    void update_started(uint64_t total_bytes) override;
    void report_progress(uint64_t total_transferred_bytes) override;
    void start_finalizing() override;
    void update_finished(FirmwareUpdateResult result) override;
    // An interrupt (see interrupt.hpp) stops the transfer between chunks.
    bool stop_requested() override;

    // Ends an unfinished bar line, so an error message starts on its own line.
    void abandon();

private:
    void draw(uint64_t sent, bool force);

    std::ostream& out_;
    bool terminal_;
    ProgressClock clock_;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point last_draw_{};
    uint64_t total_ = 0;
    uint64_t sent_ = 0;
    unsigned next_tenth_ = 1;  // plain mode: the next 10% step that gets a line
    bool bar_open_ = false;
};

}  // namespace tq::cli
