#include "client/device.hpp"

#include <string>

#include "client/connection.hpp"
#include "client/handshake.hpp"
#include "client/tcp_stream.hpp"
#include "client/transaction.hpp"
#include "protocol/wire_values.hpp"

namespace tq {

// Zero has meant "no timeout" to the socket options, which would let one
// silent device hold a call for ever.
Result<void> check_connection_timeout(std::chrono::nanoseconds connection_timeout) {
    if (connection_timeout > std::chrono::nanoseconds::zero()) return {};
    return fail(Error::Kind::ApiError, "The connection timeout must be greater than zero");
}

Device::Device(const SocketAddress& address, std::shared_ptr<DeviceConnection> connection)
    : address_(address), connection_(std::move(connection)) {}

uint32_t Device::protocol_version() const {
    return connection_->protocol_version.load(std::memory_order_relaxed);
}

Result<Device> Device::connect(const ResolvedService& service, std::chrono::nanoseconds connection_timeout) {
    if (auto ok = check_connection_timeout(connection_timeout); !ok) return tl::unexpected(std::move(ok.error()));
    int last_error = 0;
    for (const ServiceAddress& a : service.addresses) {
        const SocketAddress address(a, service.port);
        // Each attempt is bounded, so one unreachable address cannot stall a
        // scan for the operating system's minutes-long connect timeout.
        auto stream = TcpStream::connect(address, connection_timeout);
        if (!stream) {
            last_error = stream.error();
            continue;
        }
        // A failed handshake is final; the remaining addresses are not tried.
        return from_stream(address, std::move(*stream), connection_timeout);
    }
    return tl::unexpected(Error(Error::Kind::NetworkError).with_os_error(last_error));
}

Result<Device> Device::from_stream(const SocketAddress& address, TcpStream stream,
                                   std::chrono::nanoseconds connection_timeout) {
    if (auto ok = check_connection_timeout(connection_timeout); !ok) return tl::unexpected(std::move(ok.error()));
    set_socket_timeouts(stream, connection_timeout, address);
    auto reach = [address](std::chrono::nanoseconds timeout) { return TcpStream::connect(address, timeout); };
    Device device(address, std::make_shared<DeviceConnection>(std::move(stream), connection_timeout, address, reach));
    DeviceConnection& c = *device.connection_;
    auto lock = c.acquire();
    if (!lock) return tl::unexpected(std::move(lock.error()));
    // No other thread can see the connection yet; the lock only keeps the
    // exchanges' own rules.
    auto id = handshake(c);
    if (!id) return tl::unexpected(std::move(id.error()));
    c.ean = device.ean_ = id->ean;
    c.serial_number = device.serial_number_ = id->serial_number;
    return device;
}

Result<std::string> Device::get_name() const {
    return transact<Command::DeviceGetName>(*connection_, device_op("get_name"));
}

Result<std::string> Device::get_nickname() const {
    return transact<Command::DeviceGetNickname>(*connection_, device_op("get_nickname"));
}

Result<void> Device::set_nickname(std::string_view nickname) const {
    return transact<Command::DeviceSetNickname>(*connection_, device_op("set_nickname"), nickname);
}

Result<void> Device::reset_nickname() const {
    return set_nickname({});
}

Result<uint64_t> Device::get_firmware_ean() const {
    return transact<Command::GetFirmwareEan>(*connection_, device_op("get_firmware_ean"));
}

Result<std::string> Device::get_pcb_revision() const {
    return transact<Command::GetPcbRevision>(*connection_, device_op("get_pcb_revision"));
}

Result<std::string> Device::get_firmware_version() const {
    return transact<Command::GetFirmwareVersion>(*connection_, device_op("get_firmware_version"));
}

Result<std::string> Device::get_bootloader_version() const {
    return transact<Command::GetBootloaderVersion>(*connection_, device_op("get_bootloader_version"));
}

Result<std::chrono::sys_seconds> Device::get_manufacturing_date() const {
    return transact_as<Command::GetManufacturingDate>(*connection_, device_op("get_manufacturing_date"),
                                                      from_wire(wire::manufacturing_date_from_wire));
}

Result<void> Device::identify() const {
    return transact<Command::IdentifyDevice>(*connection_, device_op("identify"));
}

Result<void> Device::close() const {
    return connection_->close();
}

Result<std::vector<Interface>> Device::get_interfaces() const {
    return transact_as<Command::GetNumInterfaces>(*connection_, device_op("get_interfaces"),
                                                  [this](uint16_t count) -> Result<std::vector<Interface>> {
                                                      std::vector<Interface> list;
                                                      list.reserve(count);
                                                      for (uint32_t i = 0; i < count; ++i)
                                                          list.emplace_back(connection_, i);
                                                      return list;
                                                  });
}

}  // namespace tq
