// Device models from a JSON file and faults from command-line specs.
//
// JSON: {"devices": [ {device}, ... ]} or a bare array of devices. Every key
// is optional; missing ones keep the built-in defaults (device_model.hpp).
//   device: name, nickname, firmware_version, bootloader_version, pcb_revision
//           (texts); ean, firmware_ean, feature_ean (the printed 13 digits as
//           a string, or the wire number); serial_number, manufacturing_date,
//           protocol_version, port, chunk_size, finalize_status, reject_chunk
//           (numbers); interfaces (array of port objects); faults (array).
//   port:   type (0 T1, 2 T), nickname, link_up, eth_config, supported (mode
//           bits), tc10_supported, tc10_state, dcq {sqi, sqi_worst, peak_mse,
//           peak_mse_worst, mse, mse_worst}, cable_test {harness_status,
//           distance}, loopback, packet_generator [5 wire bytes].
//   fault:  command, and any of delay_ms, close, partial, raw (hex text),
//           oversize, error_status, status, wrong_code, garbage, split_ms,
//           trickle_ms, times.
// Unknown keys are errors, so a typo does not silently keep a default.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/device_model.hpp"

namespace tq::sim {

struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<DeviceModel> load_models_file(const std::string& path);
std::vector<DeviceModel> parse_models(const std::string& json_text);

// "[DEVICE/]COMMAND:KIND[=VALUE][,KIND[=VALUE]...]", kinds: delay=MS, close,
// partial=N, raw=HEX, oversize=N, error=STATUS, status=STATUS, wrongcode,
// garbage=N, split=MS, trickle=MS, times=N.
// DEVICE is the 0-based device index; without it the fault is for every device.
struct FaultSpec {
    std::optional<size_t> device;
    uint16_t command = 0;
    Fault fault;
};
FaultSpec parse_fault_spec(const std::string& spec);
// A request command as a fault names it: its name in the command table
// ("get_name", "update_firmware_send_chunk") or its code, decimal or 0x hex.
uint16_t parse_command(const std::string& text);
// Every command name, in code order, separated by ", ".
std::string command_names();
// One line per command, "<request code> <name>", in code order: what the
// request log's codes stand for.
std::string command_table();

// "rate=R[,seed=N][,delay=MIN-MAX]": R from 0 to 1, delays in milliseconds.
RandomFaults parse_random_faults(const std::string& spec);

std::vector<uint8_t> parse_hex(const std::string& hex);

}  // namespace tq::sim
