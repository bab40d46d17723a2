// Firmware-update progress: the estimate, the bar and the plain lines, and
// when FlashProgress draws, driven by a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "cli/progress.hpp"

namespace tq::cli {
namespace {

using namespace std::chrono_literals;

TEST(Estimate, is_unknown_until_bytes_were_sent_in_measurable_time) {
    EXPECT_FALSE(estimate(0, 100, 1s).bytes_per_second);
    EXPECT_FALSE(estimate(0, 100, 1s).remaining);
    EXPECT_FALSE(estimate(50, 100, 0s).bytes_per_second);
}

TEST(Estimate, divides_what_is_left_by_the_average_rate) {
    const auto e = estimate(512 * 1024, 1024 * 1024, 2s);
    ASSERT_TRUE(e.bytes_per_second);
    EXPECT_DOUBLE_EQ(*e.bytes_per_second, 262144.0);
    EXPECT_EQ(e.remaining, 2s);
    EXPECT_EQ(estimate(100, 100, 3s).remaining, 0s);
    EXPECT_EQ(estimate(1, 3601, 1s).remaining, 3600s);
}

TEST(RenderProgressBar, shows_bar_percent_bytes_rate_and_time_left) {
    EXPECT_EQ(render_progress_bar(512 * 1024, 1024 * 1024, 2s, 24),
              "[############------------]  50%  512.0 KiB / 1.0 MiB  256.0 KiB/s  0:02 left");
    EXPECT_EQ(render_progress_bar(0, 4096, 0s, 10), "[----------]   0%  0 B / 4.0 KiB  -- B/s  --:-- left");
    EXPECT_EQ(render_progress_bar(4096, 4096, 1s, 10), "[##########] 100%  4.0 KiB / 4.0 KiB  4.0 KiB/s  0:00 left");
}

TEST(RenderProgressBar, counts_an_empty_image_as_complete) {
    EXPECT_EQ(render_progress_bar(0, 0, 0s, 4), "[####] 100%  0 B / 0 B  -- B/s  --:-- left");
}

TEST(RenderProgressLine, states_exact_byte_counts) {
    EXPECT_EQ(render_progress_line(524288, 1048576, 2s), "sent 524288 of 1048576 bytes (50%), 256.0 KiB/s, 0:02 left");
}

// Each call of the clock advances it by `step`.
struct FakeClock {
    std::chrono::steady_clock::time_point now{};
    std::chrono::milliseconds step;
    ProgressClock fn() {
        return [this] {
            now += step;
            return now;
        };
    }
};

TEST(FlashProgressPlain, prints_one_line_per_tenth_reached_and_the_phases) {
    std::ostringstream out;
    FakeClock clock{{}, 1000ms};
    FlashProgress p(out, false, clock.fn());
    p.update_started(1000);
    // 40 and 80 reach no tenth; 350 passes three at once, so one line. The
    // clock is read at the start and for each line: 1 s, 2 s, 3 s later.
    for (uint64_t sent : {40, 80, 350, 360, 400, 1000}) p.report_progress(sent);
    p.start_finalizing();
    p.update_finished(FirmwareUpdateResult::Success);
    EXPECT_EQ(out.str(),
              "update started: 1000 bytes\n"
              "sent 350 of 1000 bytes (35%), 350 B/s, 0:02 left\n"
              "sent 400 of 1000 bytes (40%), 200 B/s, 0:03 left\n"
              "sent 1000 of 1000 bytes (100%), 333 B/s, 0:00 left\n"
              "finalizing: the device checks the image and writes it to flash; do not power it off\n"
              "update finished: Success\n");
}

TEST(FlashProgressPlain, names_a_failed_result) {
    std::ostringstream out;
    FakeClock clock{{}, 10ms};
    FlashProgress p(out, false, clock.fn());
    p.update_started(0);
    p.start_finalizing();
    p.update_finished(FirmwareUpdateResult::UnknownError);
    EXPECT_NE(out.str().find("update finished: UnknownError\n"), std::string::npos) << out.str();
}

TEST(FlashProgressTerminal, redraws_in_place_at_most_every_100ms_and_always_at_the_end) {
    std::ostringstream out;
    FakeClock clock{{}, 30ms};
    FlashProgress p(out, true, clock.fn());
    p.update_started(100);
    for (uint64_t sent = 10; sent <= 100; sent += 10) p.report_progress(sent);
    const std::string bar = out.str();
    // Draws: the start, then whenever 100 ms have passed (every fourth call of
    // a 30 ms clock), and the final 100 %.
    EXPECT_EQ(std::count(bar.begin(), bar.end(), '\r'), 4) << bar;
    EXPECT_EQ(bar.find('\n'), std::string::npos) << "the bar stays on one line";
    EXPECT_NE(bar.rfind("] 100%  100 B / 100 B"), std::string::npos) << bar;
    EXPECT_TRUE(bar.ends_with("left\x1b[K")) << bar;

    p.start_finalizing();
    EXPECT_NE(out.str().find("left\x1b[K\nfinalizing:"), std::string::npos) << "finalizing starts on a new line";
}

TEST(FlashProgressTerminal, abandon_ends_an_open_bar_once) {
    std::ostringstream out;
    FakeClock clock{{}, 1ms};
    FlashProgress p(out, true, clock.fn());
    p.update_started(10);
    p.report_progress(4);
    p.abandon();
    p.abandon();
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_TRUE(text.ends_with("\n"));
}

TEST(FlashProgressTerminal, abandon_without_a_bar_prints_nothing) {
    std::ostringstream out;
    FlashProgress p(out, true);
    p.abandon();
    EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace tq::cli
