// A connected device and its interfaces. Every operation but the cached
// serial number and EAN is one request/response transaction on the device's
// single TCP connection, shared by the Device and all its Interface values.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/error.hpp"
#include "client/firmware.hpp"
#include "net/address.hpp"
#include "protocol/types.hpp"

namespace tq {

struct DeviceConnection;
class TcpStream;

inline constexpr std::chrono::nanoseconds kDefaultConnectionTimeout{1'337'000'000};

// ApiError for a connection timeout of zero or less: it bounds every exchange.
Result<void> check_connection_timeout(std::chrono::nanoseconds connection_timeout);

class Interface {
public:
    Interface(std::shared_ptr<DeviceConnection> connection, uint32_t index);

    uint32_t index() const { return index_; }

    Result<InterfaceStatus> get_status() const;
    Result<std::string> get_nickname() const;
    Result<void> set_nickname(std::string_view nickname) const;
    Result<void> reset_nickname() const;
    Result<EthInterfaceConfig> get_eth_config() const;
    Result<void> set_eth_config(const EthInterfaceConfig& config) const;
    Result<EthInterfaceConfig> get_supported_eth_configs() const;
    Result<void> identify() const;
    Result<Tc10State> get_tc10_state() const;
    Result<void> send_tc10_command(Tc10Command command) const;
    Result<DcqReading> read_dcq() const;
    Result<CableTestResult> run_cable_test() const;
    Result<void> set_loopback_state(bool enabled) const;
    Result<bool> get_loopback_state() const;
    Result<void> set_packet_generator_config(const PacketGeneratorConfig& config) const;
    Result<PacketGeneratorConfig> get_packet_generator_config() const;

private:
    std::shared_ptr<DeviceConnection> connection_;
    uint32_t index_;
};

class Device {
public:
    // Tries the service's addresses in order (each connect bounded by
    // connection_timeout), then runs from_stream on the first that accepts.
    // Both refuse a connection_timeout of zero or less with ApiError: every
    // exchange on the connection is bounded by it.
    static Result<Device> connect(const ResolvedService& service,
                                  std::chrono::nanoseconds connection_timeout = kDefaultConnectionTimeout);
    // Sets both socket timeouts and runs the three-step handshake.
    static Result<Device> from_stream(const SocketAddress& address, TcpStream stream,
                                      std::chrono::nanoseconds connection_timeout = kDefaultConnectionTimeout);

    const SocketAddress& address() const { return address_; }
    uint32_t protocol_version() const;
    // The shared connection, for the client's own layers and its tests.
    const std::shared_ptr<DeviceConnection>& connection() const { return connection_; }

    Result<std::string> get_name() const;
    Result<std::string> get_nickname() const;
    Result<void> set_nickname(std::string_view nickname) const;
    Result<void> reset_nickname() const;
    uint64_t get_serial_number() const noexcept { return serial_number_; }
    uint64_t get_ean() const noexcept { return ean_; }
    Result<uint64_t> get_firmware_ean() const;
    Result<std::string> get_pcb_revision() const;
    Result<std::string> get_firmware_version() const;
    Result<std::string> get_bootloader_version() const;
    Result<std::chrono::sys_seconds> get_manufacturing_date() const;
    Result<void> identify() const;
    Result<std::vector<Interface>> get_interfaces() const;

    // Closes the connection now, for this Device, its copies and all its
    // Interface values: waits for an exchange in flight, then every later
    // operation fails at once with ConnectionError without sending; the
    // cached serial number and EAN still answer. Idempotent.
    Result<void> close() const;

    Result<void> update_firmware_from_blob(std::span<const uint8_t> image, FirmwareUpdateCallbacks& callbacks) const;
    Result<void> update_firmware_from_path(std::string_view path, FirmwareUpdateCallbacks& callbacks) const;

private:
    Device(const SocketAddress& address, std::shared_ptr<DeviceConnection> connection);

    SocketAddress address_;
    std::shared_ptr<DeviceConnection> connection_;
    uint64_t ean_ = 0;
    uint64_t serial_number_ = 0;
};

}  // namespace tq
