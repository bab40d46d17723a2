#include "client/device.hpp"

#include <string>
#include <system_error>

#include "client/connection.hpp"
#include "client/tcp_stream.hpp"
#include "client/transaction.hpp"

namespace tq {
namespace {

std::string os_error_text(int err) {
    return std::system_category().message(err) + " (os error " + std::to_string(err) + ")";
}

// The version query is the one exchange that works before the version is known.
Result<uint16_t> update_protocol_version(DeviceConnection& c) {
    return transact(
        c, device_op("update_protocol_version"), [](uint32_t, wire::Buffer b) { return wire::encode_get_version(b); },
        [](uint32_t, wire::ConstBuffer b) { return wire::decode_get_version(b); },
        [&c](uint16_t v) -> Result<uint16_t> {
            c.protocol_version.store(v, std::memory_order_relaxed);
            return v;
        });
}

}  // namespace

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
    if (auto r = stream.set_read_timeout(connection_timeout); !r) {
        write_stdout_line("Failed to set TCP read timeout " + os_error_text(r.error()));
    }
    if (auto r = stream.set_write_timeout(connection_timeout); !r) {
        write_stdout_line("Failed to set TCP write timeout " + os_error_text(r.error()));
    }
    Device device(address, std::make_shared<DeviceConnection>(std::move(stream), connection_timeout));
    DeviceConnection& c = *device.connection_;

    if (auto v = update_protocol_version(c); !v) return tl::unexpected(std::move(v.error()));
    // The version is stored untested: the EAN request's encoder is where an
    // unknown version is refused, before anything more is sent.
    auto ean = transact(c, device_op("update_ean"), encoder(wire::encode_get_ean), wire::decode_get_ean);
    if (!ean) return tl::unexpected(std::move(ean.error()));
    device.ean_ = *ean;
    auto serial = transact(c, device_op("update_serial_number"), encoder(wire::encode_get_serial_number),
                           wire::decode_get_serial_number);
    if (!serial) return tl::unexpected(std::move(serial.error()));
    device.serial_number_ = *serial;
    return device;
}

Result<std::string> Device::get_name() const {
    return transact(*connection_, device_op("get_name"), encoder(wire::encode_get_name), wire::decode_get_name);
}

Result<std::string> Device::get_nickname() const {
    return transact(*connection_, device_op("get_nickname"), encoder(wire::encode_get_nickname),
                    wire::decode_get_nickname);
}

Result<void> Device::set_nickname(std::string_view nickname) const {
    return transact(*connection_, device_op("set_nickname"), encoder(wire::encode_set_nickname, nickname),
                    wire::decode_set_nickname);
}

Result<void> Device::reset_nickname() const {
    return set_nickname({});
}

Result<uint64_t> Device::get_firmware_ean() const {
    return transact(*connection_, device_op("get_firmware_ean"), encoder(wire::encode_get_firmware_ean),
                    wire::decode_get_firmware_ean);
}

Result<std::string> Device::get_pcb_revision() const {
    return transact(*connection_, device_op("get_pcb_revision"), encoder(wire::encode_get_pcb_revision),
                    wire::decode_get_pcb_revision);
}

Result<std::string> Device::get_firmware_version() const {
    return transact(*connection_, device_op("get_firmware_version"), encoder(wire::encode_get_firmware_version),
                    wire::decode_get_firmware_version);
}

Result<std::string> Device::get_bootloader_version() const {
    return transact(*connection_, device_op("get_bootloader_version"), encoder(wire::encode_get_bootloader_version),
                    wire::decode_get_bootloader_version);
}

Result<std::chrono::sys_seconds> Device::get_manufacturing_date() const {
    return transact(*connection_, device_op("get_manufacturing_date"), encoder(wire::encode_get_manufacturing_date),
                    wire::decode_get_manufacturing_date);
}

Result<void> Device::identify() const {
    return transact(*connection_, device_op("identify"), encoder(wire::encode_identify), wire::decode_identify);
}

Result<void> Device::close() const {
    return connection_->close();
}

Result<std::vector<Interface>> Device::get_interfaces() const {
    // The list is built while the lock is held, as one step of the transaction.
    return transact(*connection_, device_op("get_interfaces"), encoder(wire::encode_get_num_interfaces),
                    wire::decode_get_num_interfaces, [this](uint16_t count) -> Result<std::vector<Interface>> {
                        std::vector<Interface> list;
                        list.reserve(count);
                        for (uint32_t i = 0; i < count; ++i) list.emplace_back(connection_, i);
                        return list;
                    });
}

}  // namespace tq
