#include <algorithm>
#include <chrono>
#include <new>
#include <string>

#include "client/connection.hpp"
#include "client/device.hpp"
#include "client/firmware_image.hpp"
#include "client/interrupt.hpp"
#include "client/transaction.hpp"
#include "net/platform.hpp"
#include "protocol/status.hpp"

namespace tq {
namespace {

// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr OpName kUpdateOp = device_op("update_firmware_from_blob");

// Puts both socket timeouts back to the client's own, and the exchanges'
// bound with them, on every way out of an update. Failures are ignored:
// there is nothing left to report them to (a stream the update gave up on
// is closed already, and its replacement gets the client's timeout).
class TimeoutOverride {
public:
    explicit TimeoutOverride(DeviceConnection& c) : connection_(c) {}
    TimeoutOverride(const TimeoutOverride&) = delete;
    TimeoutOverride& operator=(const TimeoutOverride&) = delete;
    ~TimeoutOverride() {
        const auto own = connection_.connection_timeout;
        if (connection_.stream.valid()) {
            (void)connection_.stream.set_read_timeout(own);
            (void)connection_.stream.set_write_timeout(own);
        }
        connection_.exchange_timeout = own;
    }

private:
    DeviceConnection& connection_;
};

// Every exchange of one update runs on the stream it began on: a device does
// not carry an update over to a new connection, so a stream given up on
// mid-way (a chunk answered under another code) ends the update.
template <Command C, class... Args>
Result<void> send_update_request(DeviceConnection& c, const Args&... args) {
    if (!c.stream.valid()) return fail(Error::Kind::TcpStreamWriteError, kUpdateOp.write_failure_text());
    return send_request<C>(c, kUpdateOp, args...);
}

}  // namespace

namespace {

tl::expected<FirmwareImage, FirmwareImage::ReadFailure> read_open(const os::File& file, uint64_t limit,
                                                                 std::unique_ptr<uint8_t[]>& data, size_t& used) {
    using Failure = FirmwareImage::ReadFailure;
    bool regular = false;
    uint64_t size = 0;
    if (!file.describe(regular, size)) return tl::unexpected(Failure::ReadError);
    if (!regular) return tl::unexpected(Failure::NotRegular);
    if (size > limit) return tl::unexpected(Failure::TooLarge);
    if (size == 0) return tl::unexpected(Failure::Empty);
    // One byte more than the file holds tells a file that grew from one read whole.
    const size_t room = static_cast<size_t>(size) + 1;
    data.reset(new (std::nothrow) uint8_t[room]);
    if (!data) return tl::unexpected(Failure::ReadError);
    while (used < room) {
        const std::ptrdiff_t n = file.read({data.get() + used, room - used});
        if (n < 0) return tl::unexpected(Failure::ReadError);
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    if (used != size) return tl::unexpected(Failure::ReadError);
    return {};
}

}  // namespace

tl::expected<FirmwareImage, FirmwareImage::ReadFailure> FirmwareImage::read(int fd, uint64_t limit) {
    return read(os::File::borrow(fd), limit);
}

tl::expected<FirmwareImage, FirmwareImage::ReadFailure> FirmwareImage::read(const os::File& file, uint64_t limit) {
    FirmwareImage image;
    if (auto r = read_open(file, limit, image.data_, image.size_); !r) return tl::unexpected(r.error());
    return image;
}

Result<void> check_firmware_image(std::span<const uint8_t> image) {
    if (!image.empty()) return {};
    const std::string text = "The firmware image is empty: there is nothing to send";
    // The detail keeps a command line from calling it a protocol error.
    return tl::unexpected(Error(Error::Kind::ApiError, text).with_detail(text));
}

// Fixed texts: callers match on them; keep verbatim, misspellings included.
Result<FirmwareImage> read_firmware_file(std::string_view path) {
    const std::string text(path);
    auto open_error = [&] { return fail(Error::Kind::FileOpenError, "Failed to open file " + text); };
    // The C path would end at the NUL and name another file.
    if (text.find('\0') != std::string::npos) return open_error();
    // Opened without waiting: a FIFO cannot hold the call.
    const os::File file = os::File::open_read(text);
    if (!file.valid()) return open_error();
    auto image = FirmwareImage::read(file);
    if (image) return std::move(*image);
    const std::string read_error = "Failed to read file " + text;
    switch (image.error()) {
        case FirmwareImage::ReadFailure::NotRegular:
            return tl::unexpected(Error(Error::Kind::FileReadError, read_error)
                                      .with_detail(read_error + ": not a regular file (a directory, device, pipe or "
                                                                "socket is never read as an image)"));
        case FirmwareImage::ReadFailure::TooLarge:
            // What the start request's encoder says of an oversized image.
            return tl::unexpected(Error::from_protocol(ProtocolError::from_status(proto::kValueOutOfBounds)));
        case FirmwareImage::ReadFailure::Empty:
            return tl::unexpected(check_firmware_image({}).error());
        case FirmwareImage::ReadFailure::ReadError:
            break;
    }
    return fail(Error::Kind::FileReadError, read_error);
}

Result<void> Device::update_firmware_from_path(std::string_view path, FirmwareUpdateCallbacks& callbacks) const {
    auto image = read_firmware_file(path);
    if (!image) return tl::unexpected(std::move(image.error()));
    return update_firmware_from_blob(image->bytes(), callbacks);
}

Result<void> Device::update_firmware_from_blob(std::span<const uint8_t> image,
                                               FirmwareUpdateCallbacks& callbacks) const {
    if (auto ok = check_firmware_image(image); !ok) return ok;
    // Held for the whole update, callbacks included.
    auto lock = connection_->acquire();
    if (!lock) return tl::unexpected(std::move(lock.error()));
    DeviceConnection& c = *connection_;
    // A stream an earlier call gave up on is replaced before its timeouts change.
    if (!c.stream.valid()) {
        if (auto ok = reopen(c, kUpdateOp); !ok) return ok;
    }

    const TimeoutOverride restore(c);
    const auto update_timeout = std::chrono::seconds(kFirmwareUpdateTimeoutSeconds);
    // Fixed texts: callers match on them; keep verbatim, misspellings included.
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
    if (auto sent = send_update_request<Command::UpdateFirmwareStart>(c, uint8_t{0}, total); !sent) return sent;
    auto chunk_size = receive_reply<Command::UpdateFirmwareStart>(c);
    if (!chunk_size) return tl::unexpected(std::move(chunk_size.error()));
    if (*chunk_size == 0) {
        return fail(Error::Kind::ApiError, "Device is requesting a chunk size of 0, which doesn't work");
    }

    // Between chunks, the caller's stop or the thread's interrupt check.
    auto stop_now = [&callbacks] { return callbacks.stop_requested() || interrupted(); };
    callbacks.update_started(total);
    uint64_t offset = 0;
    for (uint64_t index = 0; offset < total; ++index) {
        if (stop_now()) return fail(Error::Kind::ApiError, kFirmwareUpdateStoppedText);
        const uint64_t length = std::min<uint64_t>(*chunk_size, total - offset);
        const auto chunk = image.subspan(static_cast<size_t>(offset), static_cast<size_t>(length));
        if (auto sent = send_update_request<Command::UpdateFirmwareSendChunk>(c, index, chunk); !sent) {
            return sent;
        }
        // A rejected chunk (a result other than 0, or no result at all) ends
        // the transfer; the finalize answer then decides.
        const auto result = proto::decode_reply<Command::UpdateFirmwareSendChunk>(c.buffer);
        if (!result || *result != 0) break;
        offset += length;
        callbacks.report_progress(offset);
    }

    if (stop_now()) return fail(Error::Kind::ApiError, kFirmwareUpdateStoppedText);
    callbacks.start_finalizing();
    {
        // Once asked to finalize, the device is waited for whatever happens:
        // cut short, the update could leave a device that does not start.
        const InterruptScope uninterruptible(nullptr);
        if (auto sent = send_update_request<Command::UpdateFirmwareFinalize>(c); !sent) return sent;
    }
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
