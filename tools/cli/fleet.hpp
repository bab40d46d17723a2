// Work on several devices at once: a bounded set of threads, and the firmware
// update of a fleet with its progress lines and summary.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "cli/progress.hpp"
#include "client/device.hpp"

namespace tq::cli {

// Devices worked on at the same time. Each holds a thread and a connection;
// the bound keeps a large --all from opening hundreds of both.
inline constexpr size_t kMaxConcurrentDevices = 16;

// Runs work(0) .. work(count - 1) on at most `bound` threads and returns when
// all have run. `work` must not throw. The threads block SIGINT and SIGTERM,
// so those reach the calling thread and never cut a worker's socket call short.
void run_bounded(size_t count, size_t bound, const std::function<void(size_t)>& work);

enum class FlashState : uint8_t {
    Waiting,     // queued behind the bound
    Sending,     // chunks going out
    Finalizing,  // the device checks the image and writes it to flash
    Done,
    Failed,
    Stopped,     // interrupted between chunks, never finalized
    NotStarted,  // interrupted while still waiting
};

struct FlashRow {
    std::string label;  // device_label()
    FlashState state = FlashState::Waiting;
    uint64_t sent = 0;
    uint64_t total = 0;
    std::chrono::steady_clock::time_point started{}, ended{};
    std::string error;                     // Failed: why
    bool finalizing_at_interrupt = false;  // left to finish when the interrupt came
};

// The word for a row's state on its progress line; a row still sending after
// an interrupt is "stopping".
std::string_view state_word(FlashState state, bool interrupted);

// One terminal progress line: label, state, bar with bytes, %, rate.
std::string render_flash_row(const FlashRow& row, std::chrono::steady_clock::time_point now, size_t label_width,
                             bool interrupted);

// Rows drawn in place: the first frame just prints them; later ones first
// move the cursor up over the `previous` lines drawn before.
std::string render_frame(const std::vector<std::string>& lines, size_t previous);

// The summary: DEVICE, RESULT, TIME (seconds, one decimal).
std::string render_flash_summary(const std::vector<FlashRow>& rows);

struct FleetFlashResult {
    std::vector<FlashRow> rows;
    bool interrupted = false;
    bool all_done() const;
};

// Updates every device with `image`, at most `bound` at a time. Progress goes
// to `out`: a frame of one line per device redrawn on a terminal, otherwise
// the single-device progress lines prefixed "<label>: ". A failing device
// does not stop the others. Within an InterruptGuard, an interrupt stops the
// devices still sending (between chunks) and those waiting; devices already
// finalizing are left to finish. `notices` gets the line saying so.
FleetFlashResult flash_fleet(const std::vector<Device>& devices, const std::vector<std::string>& labels,
                             std::span<const uint8_t> image, std::ostream& out, std::ostream& notices, bool terminal,
                             size_t bound = kMaxConcurrentDevices,
                             const ProgressClock& clock = &std::chrono::steady_clock::now);

}  // namespace tq::cli
