// Interface: one port of a device, made by Device.get_interfaces(). It keeps
// the device's connection open on its own.
#include "python/classes.hpp"
#include "python/method.hpp"

namespace tq::py {
namespace {

using T = Interface;

// Fixed texts: callers match on them; keep verbatim, misspellings included.
PyMethodDef methods[] = {
    method_def<"identify", &T::identify>(
        "identify($self)\n--\n\nIdentifies interface, meaning it will flash the LED for this\ninterface"),
    method_def<"get_nickname", &T::get_nickname>(
        "get_nickname($self)\n--\n\nGets the nickname\n\nReturns:\n    (str): Nicname\n"),
    method_def<"set_nickname", &T::set_nickname, "nickname">(
        "set_nickname($self, nickname)\n--\n\nSets the nickname\n\nParameters:\n    nickname (str): The new "
        "nickname"),
    method_def<"reset_nickname", &T::reset_nickname>(
        "reset_nickname($self)\n--\n\nResets the nickname back to empty string"),
    method_def<"get_status", &T::get_status>(
        "get_status($self)\n--\n\nGets the interface status\n\nReturns:\n    (InterfaceStatus): The interface's "
        "status"),
    method_def<"get_eth_config", &T::get_eth_config>(
        "get_eth_config($self)\n--\n\nGets currently set ethernet configuration\n\nReturns:\n    "
        "(EthInterfaceConfig): Ethernet configuration"),
    method_def<"set_eth_config", &T::set_eth_config, "config">(
        "set_eth_config($self, config)\n--\n\nSets the given ethernet configuration\n\nParameters:\n    config "
        "(EthInterfaceConfig): The new configuration"),
    method_def<"get_supported_eth_configs", &T::get_supported_eth_configs>(
        "get_supported_eth_configs($self)\n--\n\nGets the capabilities of the given interface\n\nReturns:\n    "
        "(EthInterfaceConfig): An configuration containing what\n    this interface is capable of."),
    method_def<"get_tc10_state", &T::get_tc10_state>(
        "get_tc10_state($self)\n--\n\nGets the tc10 state.\n\nRaises:\n    Will raise an "
        "ApiNotAvailableInProtocolVersion if the device\n    firmware does not yet have tc10 support\n\nReturns:\n  "
        "  (Tc10State): The interface's TC10 state"),
    method_def<"send_tc10_command", &T::send_tc10_command, "command">(
        "send_tc10_command($self, command)\n--\n\nSends the given tc10 command\n\nNote:\n    Will respond with "
        "ApiNotAvailableInProtocolVersion if the device\n    firmware does not yet have tc10 "
        "support\n\nParameters:\n    command (Tc10Command): The TC10 command to send"),
    method_def<"read_dcq", &T::read_dcq>(
        "read_dcq($self)\n--\n\nReads Dynamic Channel Quality\n\nReturns:\n    (DcqReading): A DCQ reading"),
    method_def<"run_cable_test", &T::run_cable_test>(
        "run_cable_test($self)\n--\n\nRunst a cable test\n\nReturns:\n    (CableTestResult): A cable test result"),
    method_def<"get_loopback_state", &T::get_loopback_state>(
        "get_loopback_state($self)\n--\n\nGets the current loopback state\n\nReturns:\n    (bool): current "
        "loopback state"),
    method_def<"set_loopback_state", &T::set_loopback_state, "enabled">(
        "set_loopback_state($self, enabled)\n--\n\nSets the loopback state\n\nParameters:\n    enabled (bool): set "
        "loopback to enabled/disabled"),
    method_def<"get_packet_generator_config", &T::get_packet_generator_config>(
        "get_packet_generator_config($self)\n--\n\nGets the packet generator config\n\nReturns:\n    "
        "(PacketGeneratorConfig): current packet generator config"),
    method_def<"set_packet_generator_config", &T::set_packet_generator_config, "config">(
        "set_packet_generator_config($self, config)\n--\n\nSets the packet generator config\n\nParameters:\n    "
        "config (PacketGeneratorConfi): the new config"),
    {nullptr, nullptr, 0, nullptr},
};

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<Interface>() {
    // No docstring: __doc__ is None.
    return class_type<Interface>(cell, {.name = "plenko_tq_api.Interface", .methods = methods});
}

}  // namespace tq::py
