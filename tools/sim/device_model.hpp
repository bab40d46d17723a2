// A simulated device: its identity, its ports and the state the commands
// change, and the answer it gives to one request. No sockets here; the
// Simulator moves the bytes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/status.hpp"
#include "protocol/wire_values.hpp"

namespace tq::sim {

// The model keeps the Ethernet configuration and status in mode bits, as the
// wire carries them.
namespace mode = wire::mode;

struct PortModel {
    uint8_t type = 0;  // wire value: 0 T1, 1 reserved, 2 T
    std::string nickname;
    bool link_up = true;
    uint16_t eth_config = mode::k100Mbit | mode::kFullDuplex | mode::kLeader;  // what set_eth_config stored
    uint16_t supported =
        mode::k100Mbit | mode::k1000Mbit | mode::kFullDuplex | mode::kLeader | mode::kFollower | mode::kAneg;
    bool tc10_supported = true;
    uint8_t tc10_state = 0;  // 0 Normal, 1 Sleep, 2 SleepFailed, 3 SleepAborted (sent as stored)
    // sqi, sqi_worst, peak_mse, peak_mse_worst, then mse and mse_worst.
    std::array<uint8_t, 4> dcq8{12, 9, 3, 7};
    std::array<uint16_t, 2> dcq16{250, 410};
    uint8_t cable_harness = 2;  // 0 open, 1 shorted, 2 good
    uint8_t cable_distance = 0;
    uint8_t loopback = 0;  // sent as stored; any non-zero byte means on
    // size, type, validity, burst, enabled: wire coding, stored as received.
    std::array<uint8_t, 5> packet_generator{0, 0, 0, 0, 0};
    uint32_t identify_count = 0;

    // The status record's mode bits: the fastest configured speed, duplex and role.
    uint16_t status_mode() const;
};

// One way to misbehave on one command. Several may be combined; each fires
// `times` more times (-1: always).
struct Fault {
    std::chrono::milliseconds delay{0};         // wait before answering
    bool close = false;                         // close the connection after receiving
    std::optional<size_t> partial{};            // header + this many payload bytes, then silence
    std::optional<std::vector<uint8_t>> raw{};  // these bytes instead of the answer
    std::optional<uint16_t> oversize{};         // a header announcing this many payload bytes, and the bytes
    std::optional<uint16_t> error_status{};     // the error response with this service status
    std::optional<uint16_t> status{};           // replaces the status field of the regular answer
    // A packet under another response code (the request's + 3) before the
    // regular answer, as a late answer to some other request would arrive.
    bool wrong_code = false;
    // This many random bytes instead of the answer; if they are 4 or more,
    // they start with a code no request is answered with (neither the
    // request's + 1 nor the error response) and a length that fits the
    // client's buffer, so they cannot pass for a valid answer.
    std::optional<size_t> garbage{};
    std::chrono::milliseconds split{0};    // pause between the header and the payload
    std::chrono::milliseconds trickle{0};  // send one byte at a time, this far apart
    int times = -1;
};

// Faults drawn at random (for soak tests): each request misbehaves with
// probability `rate`, in one of these ways chosen with equal odds: a delay in
// [delay_min, delay_max], close, partial (0 to 2 payload bytes), oversize
// (4093 to 65535 bytes, all sent), garbage (1 to 64 bytes), wrong code, or
// an error response with status 2, 3, 5 or 6. A fault set for the command
// takes precedence. The same seed gives the same draws for the same
// sequence of requests.
struct RandomFaults {
    double rate = 0;
    uint64_t seed = 1;
    std::chrono::milliseconds delay_min{0};
    std::chrono::milliseconds delay_max{0};
};

struct FirmwareState {
    uint64_t announced = 0;
    uint64_t next_index = 0;
    bool active = false;
    std::vector<uint8_t> received;
    std::vector<uint8_t> last_image;  // the last image that finalized successfully
    uint32_t completed = 0;
};

struct DeviceModel {
    std::string name = "TQ Ethernet Interface";
    std::string nickname;
    std::string firmware_version = "2.4.1";
    std::string bootloader_version = "1.0.3";
    std::string pcb_revision = "B";
    uint64_t ean = 0x4062138020019;  // wire form: one decimal digit per hex digit
    uint64_t firmware_ean = 0x4062138020026;
    uint64_t feature_ean = 0;
    uint64_t serial_number = 1001;
    uint64_t manufacturing_date = 1'700'000'000;  // seconds since 1970-01-01 UTC
    uint32_t protocol_version = 2;                // sent as a u16; any value, for incompatibility tests
    uint16_t port = 0;                            // listening port, 0 for any free one
    uint16_t chunk_size = 4088;
    uint16_t finalize_status = 0;
    std::optional<uint64_t> reject_chunk;  // chunk index answered with a non-zero result
    std::vector<PortModel> interfaces{PortModel{}, PortModel{}};
    std::map<uint16_t, Fault> faults;  // by request command code
    RandomFaults random_faults;

    uint32_t identify_count = 0;
    FirmwareState firmware;
};

// The complete answer packet (header and payload) to one request packet.
// `forced_status` replaces the service-status field of answers that have one.
std::vector<uint8_t> answer(DeviceModel& device, std::span<const uint8_t> request,
                            std::optional<uint16_t> forced_status = std::nullopt);

// The error response (0xBAAD) carrying `status`.
std::vector<uint8_t> error_response(ServiceStatus status);

// "4062138020019" <-> the wire's digit-per-nibble form.
uint64_t ean_from_digits(const std::string& digits);

}  // namespace tq::sim
