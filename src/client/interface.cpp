#include "client/connection.hpp"
#include "client/device.hpp"
#include "client/transaction.hpp"

namespace tq {
namespace {

// Every interface request starts with the index; the rest is the operation's.
template <class Encode, class Decode, class... Args>
auto call(DeviceConnection& c, uint32_t index, std::string_view op, Encode enc, Decode dec, Args... args) {
    return transact(c, interface_op(op), encoder(enc, static_cast<uint16_t>(index), args...), dec);
}

}  // namespace

Interface::Interface(std::shared_ptr<DeviceConnection> connection, uint32_t index)
    : connection_(std::move(connection)), index_(index) {}

Result<InterfaceStatus> Interface::get_status() const {
    return call(*connection_, index_, "get_status", wire::encode_if_get_status, wire::decode_if_get_status);
}

Result<std::string> Interface::get_nickname() const {
    return call(*connection_, index_, "get_nickname", wire::encode_if_get_nickname, wire::decode_if_get_nickname);
}

Result<void> Interface::set_nickname(std::string_view nickname) const {
    return call(*connection_, index_, "set_nickname", wire::encode_if_set_nickname, wire::decode_if_set_nickname,
                nickname);
}

Result<void> Interface::reset_nickname() const {
    return set_nickname({});
}

Result<EthInterfaceConfig> Interface::get_eth_config() const {
    return call(*connection_, index_, "get_eth_config", wire::encode_if_get_eth_config, wire::decode_if_get_eth_config);
}

Result<void> Interface::set_eth_config(const EthInterfaceConfig& config) const {
    return call(*connection_, index_, "set_eth_config", wire::encode_if_set_eth_config, wire::decode_if_set_eth_config,
                std::cref(config));
}

Result<EthInterfaceConfig> Interface::get_supported_eth_configs() const {
    return call(*connection_, index_, "get_supported_eth_configs", wire::encode_if_get_supported_eth_configs,
                wire::decode_if_get_supported_eth_configs);
}

Result<void> Interface::identify() const {
    return call(*connection_, index_, "identify", wire::encode_if_identify, wire::decode_if_identify);
}

Result<Tc10State> Interface::get_tc10_state() const {
    return call(*connection_, index_, "get_tc10_state", wire::encode_if_get_tc10_state, wire::decode_if_get_tc10_state);
}

Result<void> Interface::send_tc10_command(Tc10Command command) const {
    return call(*connection_, index_, "send_tc10_command", wire::encode_if_send_tc10_command,
                wire::decode_if_send_tc10_command, command);
}

Result<DcqReading> Interface::read_dcq() const {
    return call(*connection_, index_, "read_dcq", wire::encode_if_read_dcq, wire::decode_if_read_dcq);
}

Result<CableTestResult> Interface::run_cable_test() const {
    return call(*connection_, index_, "run_cable_test", wire::encode_if_run_cable_test, wire::decode_if_run_cable_test);
}

Result<void> Interface::set_loopback_state(bool enabled) const {
    return call(*connection_, index_, "set_loopback_state", wire::encode_if_set_loopback_state,
                wire::decode_if_set_loopback_state, enabled);
}

Result<bool> Interface::get_loopback_state() const {
    return call(*connection_, index_, "get_loopback_state", wire::encode_if_get_loopback_state,
                wire::decode_if_get_loopback_state);
}

Result<void> Interface::set_packet_generator_config(const PacketGeneratorConfig& config) const {
    return call(*connection_, index_, "set_packet_generator_config", wire::encode_if_set_packet_generator_config,
                wire::decode_if_set_packet_generator_config, std::cref(config));
}

Result<PacketGeneratorConfig> Interface::get_packet_generator_config() const {
    return call(*connection_, index_, "get_packet_generator_config", wire::encode_if_get_packet_generator_config,
                wire::decode_if_get_packet_generator_config);
}

}  // namespace tq
