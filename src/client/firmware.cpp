#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "client/connection.hpp"
#include "client/device.hpp"
#include "client/firmware_image.hpp"
#include "client/transaction.hpp"
#include "protocol/status.hpp"

namespace tq {
namespace {

constexpr OpName kUpdateOp = device_op("update_firmware_from_blob");

// Puts both socket timeouts back to what the receive timeout was before the
// update, and the exchanges' own bound to what it was, on every way out.
// Failures are ignored: there is nothing left to report them to.
class TimeoutOverride {
public:
    TimeoutOverride(DeviceConnection& c, TcpStream::Timeout restore)
        : connection_(c), restore_(restore), exchange_timeout_(c.exchange_timeout) {}
    TimeoutOverride(const TimeoutOverride&) = delete;
    TimeoutOverride& operator=(const TimeoutOverride&) = delete;
    ~TimeoutOverride() {
        (void)connection_.stream.set_read_timeout(restore_);
        (void)connection_.stream.set_write_timeout(restore_);
        connection_.exchange_timeout = exchange_timeout_;
    }

private:
    DeviceConnection& connection_;
    TcpStream::Timeout restore_;
    std::chrono::nanoseconds exchange_timeout_;
};

bool all_zero(const uint8_t* p, size_t n) {
    static constexpr uint8_t kZeros[4096] = {};
    while (n > 0) {
        const size_t k = std::min(n, sizeof kZeros);
        if (std::memcmp(p, kZeros, k) != 0) return false;
        p += k;
        n -= k;
    }
    return true;
}

}  // namespace

FirmwareImage::FirmwareImage(FirmwareImage&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

FirmwareImage::~FirmwareImage() {
    if (data_ != nullptr) ::munmap(data_, mapped_);
}

tl::expected<FirmwareImage, FirmwareImage::ReadFailure> FirmwareImage::read(int fd, uint64_t limit) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return tl::unexpected(ReadFailure::ReadError);
    // A regular file announces its size: refuse an oversized one unread.
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > limit) return tl::unexpected(ReadFailure::TooLarge);

    // Room for one byte more than may be read, the extra byte telling "too
    // large" from "exactly the limit". A regular file needs only its own size
    // (so a small image never reserves gigabytes, which a host without memory
    // overcommit would refuse); other sources get the limit. Reserved address
    // space only; pages are committed on write.
    // (Files of pseudo file systems report size 0: read those like a stream.)
    const bool regular = S_ISREG(st.st_mode) && st.st_size > 0;
    FirmwareImage image;
    image.mapped_ = static_cast<size_t>(regular ? static_cast<uint64_t>(st.st_size) : limit) + 1;
    void* p =
        ::mmap(nullptr, image.mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return tl::unexpected(ReadFailure::ReadError);
    image.data_ = static_cast<uint8_t*>(p);

    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    constexpr size_t kStep = size_t{1} << 20;
    while (image.size_ < image.mapped_) {
        uint8_t* at = image.data_ + image.size_;
        const ssize_t n = ::read(fd, at, std::min(kStep, image.mapped_ - image.size_));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return tl::unexpected(ReadFailure::ReadError);
        if (n == 0) break;
        // Whole pages that only hold zeros go back to the kernel; an anonymous
        // mapping reads as zeros afterwards, so the content is unchanged.
        // The mapping starts on a page boundary, so offsets round like addresses.
        const size_t begin = (image.size_ + page - 1) / page * page;
        const size_t end = (image.size_ + static_cast<size_t>(n)) / page * page;
        if (end > begin && all_zero(image.data_ + begin, end - begin)) {
            ::madvise(image.data_ + begin, end - begin, MADV_DONTNEED);
        }
        image.size_ += static_cast<size_t>(n);
    }
    if (image.size_ > limit) return tl::unexpected(ReadFailure::TooLarge);
    // A regular file that grew while being read: its end was not seen.
    if (regular && image.size_ == image.mapped_) return tl::unexpected(ReadFailure::ReadError);
    return image;
}

TcpStream::Timeout timeout_to_restore(const TcpStream::IoResult<TcpStream::Timeout>& before,
                                      std::chrono::nanoseconds connection_timeout) {
    // Never "no timeout at all" just because the socket would not tell.
    return before ? *before : TcpStream::Timeout(connection_timeout);
}

Result<FirmwareImage> read_firmware_file(std::string_view path) {
    const std::string text(path);
    auto open_error = [&] { return fail(Error::Kind::FileOpenError, "Failed to open file " + text); };
    // The C path would end at the NUL and name another file.
    if (text.find('\0') != std::string::npos) return open_error();
    const int fd = ::open(text.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return open_error();
    auto image = FirmwareImage::read(fd);
    ::close(fd);
    if (!image) {
        // Too large is what the start request's encoder says of an oversized
        // image; saying it here spares reading gigabytes first.
        if (image.error() == FirmwareImage::ReadFailure::TooLarge) {
            return tl::unexpected(Error::from_protocol(ProtocolError::from_status(proto::kValueOutOfBounds)));
        }
        return fail(Error::Kind::FileReadError, "Failed to read file " + text);
    }
    return std::move(*image);
}

Result<void> Device::update_firmware_from_path(std::string_view path, FirmwareUpdateCallbacks& callbacks) const {
    auto image = read_firmware_file(path);
    if (!image) return tl::unexpected(std::move(image.error()));
    return update_firmware_from_blob(image->bytes(), callbacks);
}

Result<void> Device::update_firmware_from_blob(std::span<const uint8_t> image,
                                               FirmwareUpdateCallbacks& callbacks) const {
    // Held for the whole update, callbacks included.
    auto lock = connection_->acquire();
    if (!lock) return tl::unexpected(std::move(lock.error()));
    DeviceConnection& c = *connection_;

    const TimeoutOverride restore(c, timeout_to_restore(c.stream.read_timeout(), c.connection_timeout));
    const auto update_timeout = std::chrono::seconds(kFirmwareUpdateTimeoutSeconds);
    if (!c.stream.set_read_timeout(update_timeout)) {
        return fail(Error::Kind::TcpStreamReadError, "Failed to set tcp stream timeout");
    }
    if (!c.stream.set_write_timeout(update_timeout)) {
        return fail(Error::Kind::TcpStreamWriteError, "Failed to set tcp stream timeout");
    }
    // Each exchange of the update gets the update's timeout as its bound, so
    // a finalize that takes the device seconds is not cut off at the
    // connection timeout.
    c.exchange_timeout = update_timeout;

    // Sizes stay 64-bit up to the encoders' range checks, so nothing wraps.
    const uint64_t total = image.size();
    if (auto sent = send_request<Command::UpdateFirmwareStart>(c, kUpdateOp, uint8_t{0}, total); !sent) return sent;
    auto chunk_size = receive_reply<Command::UpdateFirmwareStart>(c);
    if (!chunk_size) return tl::unexpected(std::move(chunk_size.error()));
    if (*chunk_size == 0) {
        return fail(Error::Kind::ApiError, "Device is requesting a chunk size of 0, which doesn't work");
    }

    callbacks.update_started(total);
    uint64_t offset = 0;
    for (uint64_t index = 0; offset < total; ++index) {
        if (callbacks.stop_requested()) return fail(Error::Kind::ApiError, kFirmwareUpdateStoppedText);
        const uint64_t length = std::min<uint64_t>(*chunk_size, total - offset);
        const auto chunk = image.subspan(static_cast<size_t>(offset), static_cast<size_t>(length));
        if (auto sent = send_request<Command::UpdateFirmwareSendChunk>(c, kUpdateOp, index, chunk); !sent) {
            return sent;
        }
        // A rejected chunk (a result other than 0, or no result at all) ends
        // the transfer; the finalize answer then decides.
        const auto result = proto::decode_reply<Command::UpdateFirmwareSendChunk>(c.buffer);
        if (!result || *result != 0) break;
        offset += length;
        callbacks.report_progress(offset);
    }

    if (callbacks.stop_requested()) return fail(Error::Kind::ApiError, kFirmwareUpdateStoppedText);
    callbacks.start_finalizing();
    if (auto sent = send_request<Command::UpdateFirmwareFinalize>(c, kUpdateOp); !sent) return sent;
    // The status itself decides the outcome, so it is read unexamined.
    auto fields = receive_fields<Command::UpdateFirmwareFinalize>(c);
    if (!fields) {
        callbacks.update_finished(FirmwareUpdateResult::TransferError);
        return tl::unexpected(std::move(fields.error()));
    }
    const auto [status] = *fields;
    if (status == ServiceStatus::Success) {
        callbacks.update_finished(FirmwareUpdateResult::Success);
        return {};
    }
    // Whatever the device's reason, the update reports it the same way.
    callbacks.update_finished(FirmwareUpdateResult::UnknownError);
    return fail(Error::Kind::RemoteOperationFailed);
}

}  // namespace tq
