// Every device and interface operation that sends a request, with its
// operation name, the version that introduced it and its request command:
// the tests that must hold for all of them iterate this one table.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/device.hpp"

namespace tq::test {

template <class T>
std::optional<Error> error_of(const Result<T>& r) {
    if (r) return std::nullopt;
    return r.error();
}

struct OpRow {
    std::string name;  // as it appears in a write-failure text
    bool v2_only;
    uint16_t request;
    std::function<std::optional<Error>(const Device&, const Interface&)> call;
};

inline std::string device_name(const std::string& op) {
    return "tq_sdk_client::device::Device::" + op + "::{{closure}}";
}
inline std::string interface_name(const std::string& op) {
    return "tq_sdk_client::interface::Interface::" + op + "::{{closure}}";
}

inline const std::vector<OpRow>& operation_table() {
    static const PacketGeneratorConfig pg{true, PgPayloadSize::Size1518, PgPayloadType::OnlyZeroes,
                                          PgPacketValidity::GoodCrc, 3};
    static const EthInterfaceConfig eth{
        {EthRole::Leader}, {EthLinkSpeed::Speed100MbitFullDuplex}, EthAnegMode::AnegDisabled};
    using D = const Device&;
    using I = const Interface&;
    static const std::vector<OpRow> rows = {
        {device_name("get_name"), false, 3, [](D d, I) { return error_of(d.get_name()); }},
        {device_name("get_nickname"), true, 81, [](D d, I) { return error_of(d.get_nickname()); }},
        {device_name("set_nickname"), true, 5, [](D d, I) { return error_of(d.set_nickname("bench")); }},
        {device_name("set_nickname"), true, 5, [](D d, I) { return error_of(d.reset_nickname()); }},
        {device_name("get_firmware_ean"), false, 9, [](D d, I) { return error_of(d.get_firmware_ean()); }},
        {device_name("get_pcb_revision"), false, 41, [](D d, I) { return error_of(d.get_pcb_revision()); }},
        {device_name("get_firmware_version"), false, 33, [](D d, I) { return error_of(d.get_firmware_version()); }},
        {device_name("get_bootloader_version"), false, 37, [](D d, I) { return error_of(d.get_bootloader_version()); }},
        {device_name("get_manufacturing_date"), false, 69, [](D d, I) { return error_of(d.get_manufacturing_date()); }},
        {device_name("identify"), false, 7, [](D d, I) { return error_of(d.identify()); }},
        {device_name("get_interfaces"), false, 13, [](D d, I) { return error_of(d.get_interfaces()); }},
        {interface_name("get_status"), false, 19, [](D, I i) { return error_of(i.get_status()); }},
        {interface_name("get_nickname"), false, 15, [](D, I i) { return error_of(i.get_nickname()); }},
        {interface_name("set_nickname"), false, 17, [](D, I i) { return error_of(i.set_nickname("port")); }},
        {interface_name("set_nickname"), false, 17, [](D, I i) { return error_of(i.reset_nickname()); }},
        {interface_name("get_eth_config"), false, 27, [](D, I i) { return error_of(i.get_eth_config()); }},
        {interface_name("set_eth_config"), false, 25, [](D, I i) { return error_of(i.set_eth_config(eth)); }},
        {interface_name("get_supported_eth_configs"), false, 23,
         [](D, I i) { return error_of(i.get_supported_eth_configs()); }},
        {interface_name("identify"), false, 21, [](D, I i) { return error_of(i.identify()); }},
        {interface_name("get_tc10_state"), true, 79, [](D, I i) { return error_of(i.get_tc10_state()); }},
        {interface_name("send_tc10_command"), true, 77,
         [](D, I i) { return error_of(i.send_tc10_command(Tc10Command::WakeUp)); }},
        {interface_name("read_dcq"), true, 83, [](D, I i) { return error_of(i.read_dcq()); }},
        {interface_name("run_cable_test"), true, 85, [](D, I i) { return error_of(i.run_cable_test()); }},
        {interface_name("set_loopback_state"), true, 87, [](D, I i) { return error_of(i.set_loopback_state(true)); }},
        {interface_name("get_loopback_state"), true, 89, [](D, I i) { return error_of(i.get_loopback_state()); }},
        {interface_name("set_packet_generator_config"), true, 91,
         [](D, I i) { return error_of(i.set_packet_generator_config(pg)); }},
        {interface_name("get_packet_generator_config"), true, 93,
         [](D, I i) { return error_of(i.get_packet_generator_config()); }},
    };
    return rows;
}

}  // namespace tq::test
