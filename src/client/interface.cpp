#include "client/connection.hpp"
#include "client/device.hpp"
#include "client/transaction.hpp"
#include "protocol/wire_values.hpp"

namespace tq {
namespace {

// Every interface request starts with the index; the rest is the operation's.
template <Command C, class... Args>
auto call(DeviceConnection& c, uint32_t index, std::string_view op, const Args&... args) {
    return transact<C>(c, interface_op(op), static_cast<uint16_t>(index), args...);
}
template <Command C, class Convert>
auto call_as(DeviceConnection& c, uint32_t index, std::string_view op, Convert convert) {
    return transact_as<C>(c, interface_op(op), from_wire(convert), static_cast<uint16_t>(index));
}

}  // namespace

Interface::Interface(std::shared_ptr<DeviceConnection> connection, uint32_t index)
    : connection_(std::move(connection)), index_(index) {}

Result<InterfaceStatus> Interface::get_status() const {
    return call_as<Command::GetInterfaceStatus>(*connection_, index_, "get_status", wire::interface_status_from_wire);
}

Result<std::string> Interface::get_nickname() const {
    return call<Command::InterfaceGetNickname>(*connection_, index_, "get_nickname");
}

Result<void> Interface::set_nickname(std::string_view nickname) const {
    return call<Command::InterfaceSetNickname>(*connection_, index_, "set_nickname", nickname);
}

Result<void> Interface::reset_nickname() const {
    return set_nickname({});
}

Result<EthInterfaceConfig> Interface::get_eth_config() const {
    // The mode bits count whatever the status before them says.
    return call_as<Command::GetEthInterfaceMode>(
        *connection_, index_, "get_eth_config",
        [](uint16_t /*status*/, uint16_t bits) { return wire::config_from_mode_bits(bits); });
}

Result<void> Interface::set_eth_config(const EthInterfaceConfig& config) const {
    return call<Command::SetEthInterfaceMode>(*connection_, index_, "set_eth_config",
                                              wire::mode_bits_from_config(config));
}

Result<EthInterfaceConfig> Interface::get_supported_eth_configs() const {
    return call_as<Command::GetSupportedEthInterfaceModes>(*connection_, index_, "get_supported_eth_configs",
                                                           wire::config_from_mode_bits);
}

Result<void> Interface::identify() const {
    return call<Command::IdentifyInterface>(*connection_, index_, "identify");
}

Result<Tc10State> Interface::get_tc10_state() const {
    return call_as<Command::InterfaceGetTc10State>(*connection_, index_, "get_tc10_state", wire::tc10_state_from_wire);
}

Result<void> Interface::send_tc10_command(Tc10Command command) const {
    return call<Command::InterfaceSendTc10Command>(*connection_, index_, "send_tc10_command",
                                                   wire::tc10_command_to_wire(command));
}

Result<DcqReading> Interface::read_dcq() const {
    return call_as<Command::InterfaceReadDcq>(*connection_, index_, "read_dcq", wire::dcq_from_wire);
}

Result<CableTestResult> Interface::run_cable_test() const {
    return call_as<Command::InterfaceRunCableTest>(*connection_, index_, "run_cable_test", wire::cable_test_from_wire);
}

Result<void> Interface::set_loopback_state(bool enabled) const {
    return call<Command::InterfaceSetLoopback>(*connection_, index_, "set_loopback_state", enabled);
}

Result<bool> Interface::get_loopback_state() const {
    return call<Command::InterfaceGetLoopback>(*connection_, index_, "get_loopback_state");
}

Result<void> Interface::set_packet_generator_config(const PacketGeneratorConfig& config) const {
    return std::apply(
        [this](const auto&... record) {
            return call<Command::InterfaceSetPacketGenerator>(*connection_, index_, "set_packet_generator_config",
                                                              record...);
        },
        wire::pg_config_to_wire(config));
}

Result<PacketGeneratorConfig> Interface::get_packet_generator_config() const {
    return call_as<Command::InterfaceGetPacketGenerator>(*connection_, index_, "get_packet_generator_config",
                                                         wire::pg_config_from_wire);
}

}  // namespace tq
