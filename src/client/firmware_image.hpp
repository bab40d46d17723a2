// Reading a firmware file into memory, checked first so that a source that
// never ends or blocks (/dev/zero, a FIFO) or a huge file fails unread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include <tl/expected.hpp>

#include "client/error.hpp"
#include "net/platform.hpp"

namespace tq {

// The largest image whose size fits the start request's 32-bit field.
inline constexpr uint64_t kMaxFirmwareImageSize = 0xFFFF'FFFFull;

// A firmware file's bytes, read whole.
class FirmwareImage {
public:
    enum class ReadFailure { NotRegular, TooLarge, Empty, ReadError };

    // Reads an open regular file of at most `limit` bytes. Everything is
    // decided from the file's metadata before a byte is read: a device, pipe
    // or socket (/dev/zero, a FIFO) is NotRegular, a larger file TooLarge, an
    // empty one Empty. A file that changes size while it is read is a
    // ReadError.
    static tl::expected<FirmwareImage, ReadFailure> read(const os::File& file,
                                                         uint64_t limit = kMaxFirmwareImageSize);
    // The same from a C runtime descriptor (fileno), left open.
    static tl::expected<FirmwareImage, ReadFailure> read(int fd, uint64_t limit = kMaxFirmwareImageSize);

    std::span<const uint8_t> bytes() const { return {data_.get(), size_}; }

private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
};

// An image that cannot work is refused before anything is sent: an empty one
// would be reported as a successful update that changed nothing.
Result<void> check_firmware_image(std::span<const uint8_t> image);

// A firmware file read whole, with the errors update_firmware_from_path
// reports: FileOpenError / FileReadError naming the path (the file is opened
// without blocking, so a FIFO cannot hold the call; a detail says why a file
// is not read), the start request's value-out-of-bounds ApiError for a file
// too large to announce, the empty-image ApiError. Lets one read serve
// several devices.
Result<FirmwareImage> read_firmware_file(std::string_view path);

}  // namespace tq
