// PacketGeneratorConfig(enabled, payload_size, payload_type, validity, burst_size)
#include "python/classes.hpp"
#include "python/values.hpp"

namespace tq::py {
namespace {

using T = PacketGeneratorConfig;

PyGetSetDef properties[] = {
    property_def<"enabled", &T::enabled>(),           property_def<"payload_size", &T::payload_size>(),
    property_def<"payload_type", &T::payload_type>(), property_def<"validity", &T::validity>(),
    property_def<"burst_size", &T::burst_size>(),     {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* packet_generator_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return construct<T, "PacketGeneratorConfig", Field<"enabled", &T::enabled>, Field<"payload_size", &T::payload_size>,
                     Field<"payload_type", &T::payload_type>, Field<"validity", &T::validity>,
                     Field<"burst_size", &T::burst_size>>(type, args, kwargs);
}

// Fixed texts: callers match on them; keep verbatim, misspellings included.
constexpr const char* kDoc =
    "PacketGeneratorConfig(enabled, payload_size, payload_type, validity, burst_size)\n--\n\nA Packet Generator "
    "Config\n\nAttributes:\n    enabled(bool): Whether the Packet Generator is on\n    "
    "payload_size(PgPayloadSize): Payload size\n    payload_type(PgPayloadType): Payload type\n    "
    "validity(PgPacketValidity): Packet validity\n    burst_size(u8): Burst size (0 => continous)";

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<PacketGeneratorConfig>() {
    return class_type<PacketGeneratorConfig>(cell, {.name = "plenko_tq_api.PacketGeneratorConfig",
                                                    .doc = kDoc,
                                                    .properties = properties,
                                                    .construct = &packet_generator_config_new});
}

}  // namespace tq::py
