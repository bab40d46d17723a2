// The client value types that have a Python class of their own. Each class
// file defines python_type<T>() for its type.
#pragma once

#include "python/objects.hpp"

#include "client/client.hpp"
#include "client/device.hpp"
#include "protocol/types.hpp"

namespace tq::py {

struct CallbacksBase {};  // FirmwareUpdateCallbacks holds no data of its own

template <class T>
inline constexpr bool kHasClass = false;
template <>
inline constexpr bool kHasClass<Client> = true;
template <>
inline constexpr bool kHasClass<Device> = true;
template <>
inline constexpr bool kHasClass<Interface> = true;
template <>
inline constexpr bool kHasClass<EthInterfaceConfig> = true;
template <>
inline constexpr bool kHasClass<PacketGeneratorConfig> = true;
template <>
inline constexpr bool kHasClass<InterfaceStatus> = true;
template <>
inline constexpr bool kHasClass<EthInterfaceStatus> = true;
template <>
inline constexpr bool kHasClass<DcqReading> = true;
template <>
inline constexpr bool kHasClass<CableTestResult> = true;
template <>
inline constexpr bool kHasClass<CallbacksBase> = true;

template <>
PyTypeObject* python_type<Client>();
template <>
PyTypeObject* python_type<Device>();
template <>
PyTypeObject* python_type<Interface>();
template <>
PyTypeObject* python_type<EthInterfaceConfig>();
template <>
PyTypeObject* python_type<PacketGeneratorConfig>();
template <>
PyTypeObject* python_type<InterfaceStatus>();
template <>
PyTypeObject* python_type<EthInterfaceStatus>();
template <>
PyTypeObject* python_type<DcqReading>();
template <>
PyTypeObject* python_type<CableTestResult>();
template <>
PyTypeObject* python_type<CallbacksBase>();

}  // namespace tq::py
