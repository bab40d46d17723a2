// Reading a firmware file into memory, bounded so that an endless or huge
// source (/dev/zero, a multi-gigabyte file) fails instead of eating memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <tl/expected.hpp>

#include "client/error.hpp"
#include "client/tcp_stream.hpp"

namespace tq {

// The largest image whose size fits the start request's 32-bit field.
inline constexpr uint64_t kMaxFirmwareImageSize = 0xFFFF'FFFFull;

// Bytes read from a file, held in an anonymous mapping. Pages that stay zero
// are never touched, so a stream of zeros costs address space, not memory.
class FirmwareImage {
public:
    enum class ReadFailure { TooLarge, ReadError };

    FirmwareImage() = default;
    FirmwareImage(FirmwareImage&& other) noexcept;
    FirmwareImage& operator=(FirmwareImage&&) = delete;
    FirmwareImage(const FirmwareImage&) = delete;
    ~FirmwareImage();

    // Reads fd to its end. More than `limit` bytes is TooLarge; nothing past
    // limit + 1 is read.
    static tl::expected<FirmwareImage, ReadFailure> read(int fd, uint64_t limit = kMaxFirmwareImageSize);

    std::span<const uint8_t> bytes() const { return {data_, size_}; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0;
};

// A firmware file read whole, with the errors update_firmware_from_path
// reports: FileOpenError / FileReadError naming the path, and the start
// request's value-out-of-bounds ApiError for a file too large to announce.
// Lets one read serve several devices.
Result<FirmwareImage> read_firmware_file(std::string_view path);

// The receive timeout to put back after an update: the one in force before,
// or the client's own when the socket could not say which one that was.
TcpStream::Timeout timeout_to_restore(const TcpStream::IoResult<TcpStream::Timeout>& before,
                                      std::chrono::nanoseconds connection_timeout);

}  // namespace tq
