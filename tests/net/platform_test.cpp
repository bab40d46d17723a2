// The platform layer, run on each system the build targets (Windows under
// wine too): what the client relies on from sockets, waits, timeouts and files.
#include "net/platform.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace tq::os {
namespace {

using namespace std::chrono_literals;

TEST(Platform, a_timeout_is_stored_rounded_up_never_down_to_none) {
    EXPECT_EQ(timeout_as_set(std::nullopt), std::nullopt);
    EXPECT_EQ(timeout_as_set(0ns), std::nullopt);
    const Timeout tiny = timeout_as_set(1ns);
    ASSERT_TRUE(tiny.has_value());
    EXPECT_GT(*tiny, 0ns);

    const Socket s = open_socket(AF_INET, SOCK_STREAM, false);
    ASSERT_NE(s, kNoSocket);
    ASSERT_TRUE(set_timeout(s, true, 1337ms));
    Timeout read_back;
    ASSERT_TRUE(get_timeout(s, true, read_back));
    // The system may keep it in its own ticks: never shorter, at most a tick longer.
    ASSERT_TRUE(read_back.has_value());
    EXPECT_GE(*read_back, 1337ms);
    EXPECT_LE(*read_back, 1337ms + 20ms);
    ASSERT_TRUE(set_timeout(s, false, std::nullopt));
    ASSERT_TRUE(get_timeout(s, false, read_back));
    EXPECT_EQ(read_back, std::nullopt);
    close_socket(s);
}

TEST(Platform, the_waker_wakes_a_wait_until_drained) {
    Waker waker;
    ASSERT_TRUE(waker.valid());
    const Socket sockets[] = {waker.socket()};
    bool ready[1] = {true};
    EXPECT_EQ(wait_readable(sockets, ready, 0ms), 0);
    EXPECT_FALSE(ready[0]);
    ASSERT_TRUE(waker.wake());
    EXPECT_EQ(wait_readable(sockets, ready, 1000ms), 1);
    EXPECT_TRUE(ready[0]);
    waker.drain();
    EXPECT_EQ(wait_readable(sockets, ready, 0ms), 0);
}

TEST(Platform, a_datagram_arrives_with_its_arrival_interface_and_wakes_a_wait) {
    const Socket s = open_socket(AF_INET, SOCK_DGRAM, true);
    ASSERT_NE(s, kNoSocket);
    ASSERT_TRUE(report_arrival_interface(s, AF_INET));
    sockaddr_storage self{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(self);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof v4), 0);
    ASSERT_TRUE(local_address(s, self));
    EXPECT_EQ(wait_ready(s, false, 10ms), 0);
    EXPECT_EQ(receive_datagram(s, {}).size, -1);  // nothing queued

    const uint8_t message[] = {1, 2, 3};
    ASSERT_TRUE(send_datagram(s, self, message));
    EXPECT_EQ(wait_ready(s, false, 1000ms), 1);
    uint8_t buffer[2];
    const Received r = receive_datagram(s, buffer);
    EXPECT_EQ(r.size, 2);
    EXPECT_TRUE(r.cut);
    EXPECT_NE(r.interface, 0u);
    close_socket(s);
}

TEST(Platform, errors_say_what_they_mean_of_the_peer) {
    EXPECT_EQ(cause_of(err::kTimedOut), Cause::TimedOut);
    EXPECT_EQ(cause_of(err::kConnectionReset), Cause::ConnectionLost);
    EXPECT_EQ(cause_of(err::kBrokenPipe), Cause::ConnectionLost);
    EXPECT_EQ(cause_of(err::kWouldBlock), Cause::Other);
    EXPECT_FALSE(error_text(err::kTimedOut).empty());
}

TEST(Platform, only_a_regular_file_is_read_whole) {
    const auto dir = std::filesystem::temp_directory_path() / "tq-platform-test";
    std::filesystem::create_directories(dir);
    const auto path = dir / "image.bin";
    std::ofstream(path, std::ios::binary) << "abc";

    {  // closed before the files go: Windows deletes no open file
        const File file = File::open_read(path.string());
        ASSERT_TRUE(file.valid());
        bool regular = false;
        uint64_t size = 0;
        ASSERT_TRUE(file.describe(regular, size));
        EXPECT_TRUE(regular);
        EXPECT_EQ(size, 3u);
        uint8_t bytes[8];
        EXPECT_EQ(file.read(bytes), 3);
        EXPECT_EQ(file.read(bytes), 0);

        // A directory is never taken for an image: it does not open, or is not regular.
        const File folder = File::open_read(dir.string());
        EXPECT_TRUE(!folder.valid() || (folder.describe(regular, size) && !regular));
        EXPECT_FALSE(File::open_read((dir / "missing").string()).valid());
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tq::os
