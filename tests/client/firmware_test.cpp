// Firmware update sequences: what is sent, which callbacks run, what is
// returned, and the socket timeouts afterwards.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>

#include "client/connection.hpp"
#include "client/firmware_image.hpp"
#include "sim_fixture.hpp"

namespace tq::test {
namespace {

namespace fs = std::filesystem;

struct Recorder : FirmwareUpdateCallbacks {
    std::vector<std::string> events;
    void update_started(uint64_t n) override { events.push_back("started " + std::to_string(n)); }
    void report_progress(uint64_t n) override { events.push_back("progress " + std::to_string(n)); }
    void start_finalizing() override { events.push_back("finalizing"); }
    void update_finished(FirmwareUpdateResult r) override { events.push_back("finished " + std::string(enum_name(r))); }
};

using Events = std::vector<std::string>;

std::vector<uint8_t> image_of(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
    return v;
}

class FirmwareTest : public SimTest {
protected:
    Device start_device(sim::DeviceModel m = {}) {
        start_one(std::move(m));
        Device d = device(0, kDefaultConnectionTimeout);
        sim().clear_requests();
        return d;
    }
    std::vector<uint8_t> last_image() {
        return sim().with_device(0, [](sim::DeviceModel& m) { return m.firmware.last_image; });
    }
    // Chunk requests as (index, length).
    std::vector<std::pair<int, int>> chunks() {
        std::vector<std::pair<int, int>> out;
        for (const auto& r : sim().requests(0)) {
            if (r.command == 51) out.emplace_back(r.bytes[4] | r.bytes[5] << 8, r.bytes[6] | r.bytes[7] << 8);
        }
        return out;
    }
    // The client's own timeouts, on every outcome. A stream the update gave
    // up on is gone; the next call reopens one, with the same timeouts.
    void expect_timeouts_restored(const Device& d) {
        EXPECT_EQ(d.connection()->exchange_timeout, kDefaultConnectionTimeout);
        if (!d.connection()->stream.valid()) {
            ASSERT_TRUE(d.get_name());
        }
        const TcpStream& s = d.connection()->stream;
        EXPECT_TRUE(timeout_near(s.read_timeout().value(), 1337ms));
        EXPECT_TRUE(timeout_near(s.write_timeout().value(), 1337ms));
    }
    Recorder cb;
};

sim::DeviceModel chunked(uint16_t chunk_size) {
    sim::DeviceModel m;
    m.chunk_size = chunk_size;
    return m;
}

TEST_F(FirmwareTest, ten_bytes_in_chunks_of_four) {
    const Device d = start_device(chunked(4));
    const auto image = image_of(10);
    ASSERT_TRUE(d.update_firmware_from_blob(image, cb));
    EXPECT_EQ(cb.events,
              (Events{"started 10", "progress 4", "progress 8", "progress 10", "finalizing", "finished Success"}));
    EXPECT_EQ(chunks(), (std::vector<std::pair<int, int>>{{0, 4}, {1, 4}, {2, 2}}));
    EXPECT_EQ(sim().requests(0).front().bytes, bytes({0x31, 0x00, 0x05, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00}));
    EXPECT_EQ(last_image(), image);
    expect_timeouts_restored(d);
}

// Sent, it would be reported as a successful update that changed nothing.
TEST_F(FirmwareTest, empty_image_is_refused_before_anything_is_sent) {
    const Device d = start_device();
    EXPECT_ERROR(d.update_firmware_from_blob({}, cb), ApiError,
                 "The firmware image is empty: there is nothing to send");
    EXPECT_TRUE(cb.events.empty());
    EXPECT_TRUE(commands().empty());
}

// A device does not carry an update over to a new connection: a chunk
// answered under another code ends the update on its own stream.
TEST_F(FirmwareTest, chunk_answered_under_another_code_ends_the_update_without_reconnecting) {
    const Device d = start_device(chunked(4));
    fault(51, once({.wrong_code = true}));
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(10), cb), TcpStreamWriteError,
                 "Failed to send tq_sdk_client::device::Device::update_firmware_from_blob::{{closure}} request");
    EXPECT_EQ(cb.events, (Events{"started 10", "finalizing"}));
    EXPECT_THAT(commands(), ::testing::Not(::testing::Contains(53)));
    EXPECT_EQ(d.connection()->reopened, 0u);
    expect_timeouts_restored(d);
}

TEST_F(FirmwareTest, chunk_size_zero_ends_before_any_callback) {
    const Device d = start_device(chunked(0));
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(10), cb), ApiError,
                 "Device is requesting a chunk size of 0, which doesn't work");
    EXPECT_TRUE(cb.events.empty());
    EXPECT_EQ(commands(), std::vector<uint16_t>{49});
    expect_timeouts_restored(d);
}

TEST_F(FirmwareTest, rejected_chunk_ends_the_transfer_and_finalize_decides) {
    sim::DeviceModel m = chunked(4);
    m.reject_chunk = 1;
    const Device d = start_device(m);
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(10), cb), RemoteOperationFailed, "");
    EXPECT_EQ(cb.events, (Events{"started 10", "progress 4", "finalizing", "finished UnknownError"}));
    EXPECT_EQ(chunks(), (std::vector<std::pair<int, int>>{{0, 4}, {1, 4}}));
    EXPECT_EQ(commands().back(), 53);
}

TEST_F(FirmwareTest, rejected_chunk_with_a_finalize_that_succeeds_is_success) {
    sim::DeviceModel m = chunked(4);
    m.reject_chunk = 2;
    const Device d = start_device(m);
    fault(53, once({.status = 0}));
    EXPECT_TRUE(d.update_firmware_from_blob(image_of(10), cb));
    EXPECT_EQ(cb.events.back(), "finished Success");
}

class FinalizeStatusTest : public FirmwareTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(FinalizeStatusTest, any_failed_finalize_status_is_unknown_error_and_remote_operation_failed) {
    sim::DeviceModel m;
    m.finalize_status = GetParam();
    const Device d = start_device(m);
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(100), cb), RemoteOperationFailed, "");
    EXPECT_EQ(cb.events, (Events{"started 100", "progress 100", "finalizing", "finished UnknownError"}));
    expect_timeouts_restored(d);
}

INSTANTIATE_TEST_SUITE_P(Statuses, FinalizeStatusTest, ::testing::Values(2, 3, 5, 6, 21));

TEST_F(FirmwareTest, undecodable_finalize_answer_is_a_transfer_error) {
    const Device d = start_device();
    fault(53, once({.error_status = 5}));
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(8), cb), ApiError,
                 "An error ocurred in the protocol "
                 "\"TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_DEVICE\"");
    EXPECT_EQ(cb.events.back(), "finished TransferError");
}

TEST_F(FirmwareTest, refused_start_ends_before_any_callback) {
    const Device d = start_device();
    fault(49, once({.error_status = 3}));
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(8), cb), ApiError,
                 "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_FAILED\"");
    EXPECT_TRUE(cb.events.empty());
    expect_timeouts_restored(d);
}

TEST_F(FirmwareTest, finalize_slower_than_five_seconds_is_a_read_error_without_finished) {
    const Device d = start_device();
    fault(53, once({.delay = 5300ms}));
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(8), cb), TcpStreamReadError, "Failed to read packet header");
    EXPECT_EQ(cb.events, (Events{"started 8", "progress 8", "finalizing"}));
    expect_timeouts_restored(d);
}

TEST_F(FirmwareTest, finalize_within_five_seconds_outlasts_the_connection_timeout) {
    const Device d = start_device();
    fault(53, once({.delay = 1600ms}));  // longer than 1.337 s
    EXPECT_TRUE(d.update_firmware_from_blob(image_of(8), cb));
    expect_timeouts_restored(d);
}

TEST_F(FirmwareTest, chunk_size_8000_works_while_every_chunk_fits_the_buffer) {
    const Device d = start_device(chunked(8000));
    ASSERT_TRUE(d.update_firmware_from_blob(image_of(3000), cb));
    EXPECT_EQ(chunks(), (std::vector<std::pair<int, int>>{{0, 3000}}));
    cb.events.clear();
    sim().clear_requests();
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(5000), cb), ApiError,
                 "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_BUFFER_TOO_SMALL\"");
    EXPECT_EQ(cb.events, Events{"started 5000"});
    EXPECT_EQ(commands(), std::vector<uint16_t>{49});
    expect_timeouts_restored(d);
}

TEST_F(FirmwareTest, chunk_index_beyond_16_bits_is_refused_by_the_encoder) {
    const Device d = start_device(chunked(1));
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(65537), cb), ApiError,
                 "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_VALUE_OUT_OF_BOUNDS\"");
    EXPECT_EQ(cb.events.size(), 1u + 65536u);
    EXPECT_EQ(cb.events.back(), "progress 65536");
}

TEST_F(FirmwareTest, image_of_two_to_the_32_bytes_is_refused_not_wrapped_to_empty) {
    const Device d = start_device();
    // Address space only: the update must refuse it before reading a byte.
    const size_t size = size_t{1} << 32;
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    const auto r = d.update_firmware_from_blob(std::span<const uint8_t>(static_cast<const uint8_t*>(p), size), cb);
    ::munmap(p, size);
    EXPECT_ERROR(r, ApiError, "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_VALUE_OUT_OF_BOUNDS\"");
    EXPECT_TRUE(cb.events.empty());
    EXPECT_TRUE(commands().empty());
    expect_timeouts_restored(d);
}

TEST_F(FirmwareTest, the_clients_own_timeouts_come_back_whatever_was_set_before) {
    const Device d = start_device();
    TcpStream& s = d.connection()->stream;
    ASSERT_TRUE(s.set_read_timeout(std::nullopt));
    ASSERT_TRUE(s.set_write_timeout(3s));
    ASSERT_TRUE(d.update_firmware_from_blob(image_of(8), cb));
    expect_timeouts_restored(d);
}

// Asks to stop once `after` chunks were accepted.
struct StopAfter : Recorder {
    explicit StopAfter(uint64_t chunks) : after(chunks) {}
    bool stop_requested() override { return progress_reports() >= after; }
    uint64_t progress_reports() const {
        return static_cast<uint64_t>(std::count_if(events.begin(), events.end(),
                                                   [](const std::string& e) { return e.starts_with("progress"); }));
    }
    uint64_t after;
};

class FirmwareStopTest : public FirmwareTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(FirmwareStopTest, stops_between_chunks_and_never_finalizes) {
    const Device d = start_device(chunked(4));
    StopAfter stop(GetParam());  // of 3 chunks; 3 stops after the last, before finalizing
    EXPECT_ERROR(d.update_firmware_from_blob(image_of(10), stop), ApiError, kFirmwareUpdateStoppedText);
    EXPECT_EQ(chunks().size(), GetParam());
    EXPECT_THAT(commands(), ::testing::Not(::testing::Contains(53)));
    EXPECT_THAT(stop.events, ::testing::Not(::testing::Contains("finalizing")));
    expect_timeouts_restored(d);
    EXPECT_TRUE(d.get_name()) << "the connection stays usable";
}

INSTANTIATE_TEST_SUITE_P(Chunks, FirmwareStopTest, ::testing::Values(0, 2, 3));

class FirmwareFileTest : public FirmwareTest {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tq-fw-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string write_file(const std::string& name, const std::vector<uint8_t>& content) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        return path.string();
    }
    fs::path dir_;
};

TEST_F(FirmwareFileTest, file_content_is_what_the_device_receives) {
    const Device d = start_device(chunked(4088));
    const auto image = image_of(10000);
    ASSERT_TRUE(d.update_firmware_from_path(write_file("fw.bin", image), cb));
    EXPECT_EQ(last_image(), image);
    EXPECT_EQ(chunks(), (std::vector<std::pair<int, int>>{{0, 4088}, {1, 4088}, {2, 1824}}));
}

// Decided before a byte is read or sent: a path with a NUL is not cut at it
// even when its prefix is a file; a file of 2^32 bytes is sparse and refused
// by its size; a FIFO without a writer would block the open, /dev/zero never
// ends.
TEST_F(FirmwareFileTest, unusable_files_fail_before_anything_is_sent) {
    const Device d = start_device();
    const std::string huge = (dir_ / "huge.bin").string();
    {
        const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(::ftruncate(fd, off_t{1} << 32), 0);
        ::close(fd);
    }
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string out_of_bounds = "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_VALUE_OUT_OF_BOUNDS\"";
    const std::string missing = (dir_ / "missing.bin").string();
    const std::string with_nul = write_file("fw.bin", image_of(16)) + std::string(1, '\0') + ".other";
    const struct {
        std::string path;
        Error::Kind kind;
        std::string text;
        bool not_regular = false;
    } cases[] = {
        {missing, Error::Kind::FileOpenError, "Failed to open file " + missing},
        {with_nul, Error::Kind::FileOpenError, "Failed to open file " + with_nul},
        {dir_.string(), Error::Kind::FileReadError, "Failed to read file " + dir_.string(), true},
        {fifo, Error::Kind::FileReadError, "Failed to read file " + fifo, true},
        {"/dev/zero", Error::Kind::FileReadError, "Failed to read file /dev/zero", true},
        {huge, Error::Kind::ApiError, out_of_bounds},
        {write_file("empty.bin", {}), Error::Kind::ApiError, "The firmware image is empty: there is nothing to send"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto r = d.update_firmware_from_path(c.path, cb);
        EXPECT_ERROR(r, c.kind, c.text);
        if (c.not_regular) {
            EXPECT_THAT(r.error().detail(), ::testing::EndsWith("is never read as an image)"));
        }
        EXPECT_TRUE(cb.events.empty());
        EXPECT_TRUE(commands().empty());
    }
}

TEST(FirmwareImageRead, regular_files_read_whole_up_to_the_limit_and_refused_above_it) {
    for (const size_t n : {1u, 10u, 11u, 5000u}) {
        SCOPED_TRACE(n);
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        const std::vector<uint8_t> content = image_of(n);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
        std::fflush(f);
        ASSERT_EQ(::lseek(::fileno(f), 0, SEEK_SET), 0);
        auto image = FirmwareImage::read(::fileno(f), n == 5000 ? 5000 : 10);
        std::fclose(f);
        if (n == 11) {
            ASSERT_FALSE(image);
            EXPECT_EQ(image.error(), FirmwareImage::ReadFailure::TooLarge);
            continue;
        }
        ASSERT_TRUE(image);
        EXPECT_EQ(std::vector<uint8_t>(image->bytes().begin(), image->bytes().end()), content);
    }
}

// A small file must not need gigabytes of address space: hosts without memory
// overcommit (or with an address-space limit) would refuse that reservation.
TEST(FirmwareImageRead, small_file_reads_under_a_tight_address_space_limit) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const std::vector<uint8_t> content = image_of(4096);
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
    std::fflush(f);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
        const rlimit limit{now + (rlim_t{1} << 30), now + (rlim_t{1} << 30)};
        if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(2);
        ::lseek(::fileno(f), 0, SEEK_SET);
        auto image = FirmwareImage::read(::fileno(f), uint64_t{1} << 32);
        ::_exit(image && image->bytes().size() == content.size() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    std::fclose(f);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tq::test
