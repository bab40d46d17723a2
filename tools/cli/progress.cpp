#include "cli/progress.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/format.hpp"
#include "cli/interrupt.hpp"

namespace tq::cli {

namespace {

// A terminal redraw costs more than a chunk; a few per second is enough.
constexpr std::chrono::milliseconds kRedrawInterval{100};

unsigned percent_of(uint64_t sent, uint64_t total) {
    if (total == 0) return 100;
    return static_cast<unsigned>(std::min<uint64_t>(sent, total) * 100 / total);
}

std::string rate_text(const TransferEstimate& e) {
    return e.bytes_per_second ? format_bytes(static_cast<uint64_t>(*e.bytes_per_second)) + "/s" : "-- B/s";
}

std::string left_text(const TransferEstimate& e) {
    return (e.remaining ? format_duration(*e.remaining) : std::string("--:--")) + " left";
}

}  // namespace

TransferEstimate estimate(uint64_t sent, uint64_t total, std::chrono::duration<double> elapsed) {
    TransferEstimate e;
    if (sent == 0 || elapsed.count() <= 0.0) return e;
    const double rate = static_cast<double>(sent) / elapsed.count();
    e.bytes_per_second = rate;
    const uint64_t left = total > sent ? total - sent : 0;
    e.remaining = std::chrono::seconds(std::llround(static_cast<double>(left) / rate));
    return e;
}

std::string render_progress_bar(uint64_t sent, uint64_t total, std::chrono::duration<double> elapsed,
                                size_t bar_width) {
    const unsigned percent = percent_of(sent, total);
    const size_t filled = bar_width * percent / 100;
    const auto e = estimate(sent, total, elapsed);
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3u%%", percent);
    return "[" + std::string(filled, '#') + std::string(bar_width - filled, '-') + "] " + pct + "  " +
           format_bytes(sent) + " / " + format_bytes(total) + "  " + rate_text(e) + "  " + left_text(e);
}

std::string render_progress_line(uint64_t sent, uint64_t total, std::chrono::duration<double> elapsed) {
    const auto e = estimate(sent, total, elapsed);
    return "sent " + std::to_string(sent) + " of " + std::to_string(total) + " bytes (" +
           std::to_string(percent_of(sent, total)) + "%), " + rate_text(e) + ", " + left_text(e);
}

FlashProgress::FlashProgress(std::ostream& out, bool terminal, ProgressClock clock)
    : out_(out), terminal_(terminal), clock_(std::move(clock)) {}

void FlashProgress::update_started(uint64_t total_bytes) {
    total_ = total_bytes;
    sent_ = 0;
    next_tenth_ = 1;
    started_ = clock_();
    if (terminal_) {
        draw(0, true);
    } else {
        out_ << "update started: " << total_bytes << " bytes" << std::endl;
    }
}

void FlashProgress::report_progress(uint64_t total_transferred_bytes) {
    sent_ = total_transferred_bytes;
    if (terminal_) {
        draw(sent_, sent_ >= total_);
        return;
    }
    // One line per tenth crossed; a jump over several tenths prints one line.
    const unsigned percent = percent_of(sent_, total_);
    if (percent >= next_tenth_ * 10) {
        out_ << render_progress_line(sent_, total_, clock_() - started_) << std::endl;
        next_tenth_ = percent / 10 + 1;
    }
}

void FlashProgress::start_finalizing() {
    abandon();
    out_ << "finalizing: the device checks the image and writes it to flash; do not power it off" << std::endl;
}

void FlashProgress::update_finished(FirmwareUpdateResult result) {
    abandon();
    out_ << "update finished: " << enum_name(result) << std::endl;
}

bool FlashProgress::stop_requested() {
    return interrupt_requested();
}

void FlashProgress::abandon() {
    if (bar_open_) {
        out_ << "\n" << std::flush;
        bar_open_ = false;
    }
}

void FlashProgress::draw(uint64_t sent, bool force) {
    const auto now = clock_();
    if (!force && bar_open_ && now - last_draw_ < kRedrawInterval) return;
    last_draw_ = now;
    // \r returns to the line start, ESC[K clears what a longer earlier line left.
    out_ << "\r" << render_progress_bar(sent, total_, now - started_) << "\x1b[K" << std::flush;
    bar_open_ = true;
}

}  // namespace tq::cli
