#include "cli/fleet.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <streambuf>
#include <thread>

#include "cli/cli.hpp"
#include "cli/format.hpp"
#include "cli/interrupt.hpp"
#include "net/platform.hpp"

namespace tq::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kRedrawInterval{100};
constexpr size_t kBarWidth = 20;

// Starts the threads at once and joins them on join() or destruction.
class WorkerPool {
public:
    WorkerPool(size_t count, size_t bound, std::function<void(size_t)> work) : count_(count), work_(std::move(work)) {
        const size_t threads = std::min(count, std::max<size_t>(bound, 1));
        threads_.reserve(threads);
        for (size_t t = 0; t < threads; ++t) threads_.emplace_back([this] { loop(); });
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { join(); }

    void join() {
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

private:
    void loop() {
        os::keep_stop_requests_off_this_thread();
        for (size_t i = next_++; i < count_; i = next_++) work_(i);
    }

    size_t count_;
    std::function<void(size_t)> work_;
    std::atomic<size_t> next_{0};
    std::vector<std::thread> threads_;
};

// Gathers whole lines and writes each, prefixed, to a stream shared between
// threads, so lines of different devices never mix.
class PrefixedLines final : public std::streambuf {
public:
    PrefixedLines(std::string prefix, std::ostream& sink, std::mutex& mutex)
        : prefix_(std::move(prefix)), sink_(sink), mutex_(mutex) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        line_ += traits_type::to_char_type(c);
        if (line_.back() == '\n') {
            const std::lock_guard lock(mutex_);
            sink_ << prefix_ << line_ << std::flush;
            line_.clear();
        }
        return c;
    }

private:
    std::string prefix_;
    std::ostream& sink_;
    std::mutex& mutex_;
    std::string line_;
};

struct Shared {
    std::mutex mutex;  // rows, finished, and the output stream
    std::condition_variable changed;
    std::vector<FlashRow> rows;
    size_t finished = 0;
};

// One device's update: keeps its row current and, off a terminal, prints the
// single-device progress lines.
class DeviceFlash final : public FirmwareUpdateCallbacks {
public:
    DeviceFlash(Shared& shared, size_t index, FlashProgress* plain) : shared_(shared), index_(index), plain_(plain) {}

    void update_started(uint64_t total_bytes) override {
        update([&](FlashRow& row) { row.total = total_bytes; });
        if (plain_ != nullptr) plain_->update_started(total_bytes);
    }
    void report_progress(uint64_t total_transferred_bytes) override {
        update([&](FlashRow& row) { row.sent = total_transferred_bytes; });
        if (plain_ != nullptr) plain_->report_progress(total_transferred_bytes);
    }
    void start_finalizing() override {
        finalizing_ = true;
        update([](FlashRow& row) { row.state = FlashState::Finalizing; });
        if (plain_ != nullptr) plain_->start_finalizing();
    }
    void update_finished(FirmwareUpdateResult result) override {
        if (plain_ != nullptr) plain_->update_finished(result);
    }
    bool stop_requested() override { return interrupt_requested(); }

    bool finalizing() const { return finalizing_; }

private:
    template <class F>
    void update(F&& f) {
        const std::lock_guard lock(shared_.mutex);
        f(shared_.rows[index_]);
    }

    Shared& shared_;
    size_t index_;
    FlashProgress* plain_;
    bool finalizing_ = false;
};

std::string padded(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string seconds_text(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

std::string result_text(const FlashRow& row) {
    std::string text;
    switch (row.state) {
        case FlashState::Done:
            text = "done";
            break;
        case FlashState::Failed:
            text = "failed: " + row.error;
            break;
        case FlashState::Stopped:
            text = "stopped before finalizing, " + std::to_string(row.sent) + " of " + std::to_string(row.total) +
                   " bytes sent (interrupted)";
            break;
        case FlashState::NotStarted:
            text = "not started (interrupted)";
            break;
        default:
            text = std::string(state_word(row.state, false));
            break;
    }
    if (row.finalizing_at_interrupt) text += " (was finalizing at the interrupt, left to finish)";
    return text;
}

constexpr const char* kInterruptNotice =
    "interrupted: stopping the devices still sending; devices already finalizing are left to finish (do not power "
    "them off)";

}  // namespace

void run_bounded(size_t count, size_t bound, const std::function<void(size_t)>& work) {
    WorkerPool(count, bound, work).join();
}

std::string_view state_word(FlashState state, bool interrupted) {
    switch (state) {
        case FlashState::Waiting:
            return interrupted ? "not started" : "waiting";
        case FlashState::Sending:
            return interrupted ? "stopping" : "sending";
        case FlashState::Finalizing:
            return "finalizing";
        case FlashState::Done:
            return "done";
        case FlashState::Failed:
            return "failed";
        case FlashState::Stopped:
            return "stopped";
        case FlashState::NotStarted:
            return "not started";
    }
    return "";
}

std::string render_flash_row(const FlashRow& row, Clock::time_point now, size_t label_width, bool interrupted) {
    const bool over = row.state == FlashState::Done || row.state == FlashState::Failed ||
                      row.state == FlashState::Stopped || row.state == FlashState::NotStarted;
    const auto elapsed = row.state == FlashState::Waiting || row.state == FlashState::NotStarted ? Clock::duration{}
                         : over ? row.ended - row.started
                                : now - row.started;
    return padded(terminal_safe(row.label), label_width) + "  " +
           padded(std::string(state_word(row.state, interrupted)), 11) + "  " +
           render_progress_bar(row.sent, row.total, elapsed, kBarWidth);
}

std::string render_frame(const std::vector<std::string>& lines, size_t previous) {
    std::string out;
    if (previous > 0) out += "\x1b[" + std::to_string(previous) + "A";
    for (const auto& line : lines) out += "\r" + line + "\x1b[K\n";
    return out;
}

std::string render_flash_summary(const std::vector<FlashRow>& rows) {
    Json table = Json::array();
    for (const auto& row : rows) {
        const bool timed =
            row.state == FlashState::Done || row.state == FlashState::Failed || row.state == FlashState::Stopped;
        table.push_back({{"device", row.label},
                         {"result", result_text(row)},
                         {"time", timed ? Json(seconds_text(row.ended - row.started)) : Json()}});
    }
    return render_text(table);
}

bool FleetFlashResult::all_done() const {
    return std::all_of(rows.begin(), rows.end(), [](const FlashRow& r) { return r.state == FlashState::Done; });
}

FleetFlashResult flash_fleet(const std::vector<Device>& devices, const std::vector<std::string>& labels,
                             std::span<const uint8_t> image, std::ostream& out, std::ostream& notices, bool terminal,
                             size_t bound, const ProgressClock& clock) {
    Shared shared;
    size_t label_width = 0;
    for (const auto& label : labels) {
        FlashRow row;
        row.label = label;
        row.total = image.size();
        shared.rows.push_back(std::move(row));
        label_width = std::max(label_width, terminal_safe(label).size());
    }
    const size_t n = devices.size();

    auto work = [&](size_t i) {
        {
            const std::lock_guard lock(shared.mutex);
            if (interrupt_requested()) {
                shared.rows[i].state = FlashState::NotStarted;
                ++shared.finished;
                shared.changed.notify_all();
                return;
            }
            shared.rows[i].state = FlashState::Sending;
            shared.rows[i].started = clock();
        }
        PrefixedLines lines(terminal_safe(labels[i]) + ": ", out, shared.mutex);
        std::ostream plain_out(&lines);
        std::optional<FlashProgress> plain;
        if (!terminal) plain.emplace(plain_out, false, clock);
        DeviceFlash callbacks(shared, i, plain ? &*plain : nullptr);

        std::optional<Error> error;
        try {
            if (auto r = devices[i].update_firmware_from_blob(image, callbacks); !r) error = std::move(r.error());
        } catch (const std::exception& e) {  // only allocation can throw here
            error = Error(Error::Kind::ApiError, e.what());
        }

        const std::lock_guard lock(shared.mutex);
        FlashRow& row = shared.rows[i];
        row.ended = clock();
        const bool interrupted = interrupt_requested();
        if (!error) {
            row.state = FlashState::Done;
        } else if (interrupted && error->kind() == Error::Kind::ApiError &&
                   error->text() == kFirmwareUpdateStoppedText) {
            row.state = FlashState::Stopped;
        } else {
            row.state = FlashState::Failed;
            row.error = describe(*error);
        }
        row.finalizing_at_interrupt = interrupted && callbacks.finalizing();
        ++shared.finished;
        shared.changed.notify_all();
    };

    WorkerPool pool(n, bound, work);
    FleetFlashResult result;
    {
        std::unique_lock lock(shared.mutex);
        size_t drawn = 0;
        for (;;) {
            const bool done = shared.finished == n;
            const bool interrupted = interrupt_requested();
            if (interrupted && !result.interrupted) {
                result.interrupted = true;
                if (!terminal) notices << "plenko-tq: " << kInterruptNotice << std::endl;
            }
            if (terminal) {
                std::vector<std::string> lines;
                lines.reserve(n + 1);
                for (const auto& row : shared.rows)
                    lines.push_back(render_flash_row(row, clock(), label_width, interrupted));
                if (interrupted) lines.emplace_back(kInterruptNotice);
                out << render_frame(lines, drawn) << std::flush;
                drawn = lines.size();
            }
            if (done) break;
            shared.changed.wait_for(lock, kRedrawInterval);
        }
        result.rows = shared.rows;
    }
    pool.join();
    return result;
}

}  // namespace tq::cli
