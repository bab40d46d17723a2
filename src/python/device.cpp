// Device: one connected device, made by the scan methods.
#include "python/classes.hpp"
#include "python/method.hpp"

#include <string>

namespace tq::py {
namespace {

using T = Device;

PyObject* enter(PyObject* self, PyObject*) noexcept {
    Py_INCREF(self);
    return self;
}

// Returns None (false), so an exception of the with-block propagates.
PyObject* exit(PyObject* self, PyObject* args) noexcept {
    PyObject *type, *value, *traceback;
    if (!PyArg_UnpackTuple(args, "__exit__", 3, 3, &type, &value, &traceback)) return nullptr;
    return method_noargs<&T::close>(self, nullptr);
}

// (host, port) as the device was reached: "10.0.0.7" or "fe80::1%3".
PyObject* get_address(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        const SocketAddress& address = value_of<T>(self).address();
        std::string host = address.to_string();
        host.resize(host.rfind(':'));
        if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
        return Py_BuildValue("(s#H)", host.data(), static_cast<Py_ssize_t>(host.size()), address.port());
    });
}

PyObject* get_protocol_version(PyObject* self, void*) noexcept {
    return guarded([&] { return PyLong_FromUnsignedLong(value_of<T>(self).protocol_version()); });
}

PyGetSetDef properties[] = {
    {"address", &get_address, nullptr, "(host, port) the device was reached at", nullptr},
    {"protocol_version", &get_protocol_version, nullptr, "The protocol version the device speaks", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Fixed texts: callers match on them; keep verbatim, misspellings included.
PyMethodDef methods[] = {
    method_def<"get_name", &T::get_name>(
        "get_name($self)\n--\n\nGets device name\n\nReturns:\n    (str): Device name as a string"),
    method_def<"get_nickname", &T::get_nickname>(
        "get_nickname($self)\n--\n\nGets the nickname\n\nReturns:\n    (str): Device nickname\n\nRaises:\n    "
        "ApiNotAvailableInProtocolVersion: If the device firmware does not\n        yet support this api"),
    method_def<"set_nickname", &T::set_nickname, "nickname">(
        "set_nickname($self, nickname)\n--\n\nSets the nickname\n\nParameters:\n    nickname (str): New "
        "nickname\n\nRaises:\n    ApiNotAvailableInProtocolVersion: If the device firmware does not\n        yet "
        "support this api"),
    method_def<"reset_nickname", &T::reset_nickname>(
        "reset_nickname($self)\n--\n\nResets the nickname (sets it back to empty string).\n\nRaises:\n    "
        "ApiNotAvailableInProtocolVersion: If the device firmware does not\n        yet support this api"),
    method_def<"get_serial_number", &T::get_serial_number>(
        "get_serial_number($self)\n--\n\nReturns the device serial number\n\nReturns:\n    (int): Device serial "
        "number as an integer"),
    method_def<"get_pcb_revision", &T::get_pcb_revision>(
        "get_pcb_revision($self)\n--\n\nReturns PCB revision\n\nReturns:\n    (str): PCB revision"),
    method_def<"get_firmware_version", &T::get_firmware_version>(
        "get_firmware_version($self)\n--\n\nReturns the firmware version string\n\nReturns:\n    (str): Firmware "
        "version"),
    method_def<"get_bootloader_version", &T::get_bootloader_version>("get_bootloader_version($self)\n--\n\n"),
    method_def<"get_manufacturing_date", &T::get_manufacturing_date>(
        "get_manufacturing_date($self)\n--\n\nReturns the date and time the device was manufactured\n\nReturns:\n  "
        "  (datetime.datetime): Manufacturing date"),
    method_def<"get_ean", &T::get_ean>(
        "get_ean($self)\n--\n\nReturns the EAN\n\nReturns:\n    (int): The EAN (encoded as an integer in hex)"),
    method_def<"get_firmware_ean", &T::get_firmware_ean>(
        "get_firmware_ean($self)\n--\n\nReturns the firmware EAN\n\nReturns:\n    (int): The firmware EAN (encoded "
        "as an integer in hex)"),
    method_def<"identify", &T::identify>(
        "identify($self)\n--\n\nIdentifies device, meaning it will flash all LEDS on the device"),
    method_def<"get_interfaces", &T::get_interfaces>(
        "get_interfaces($self)\n--\n\nGets the device's interfaces\n\nReturns:\n    ([Interface]): The device's "
        "interfaces"),
    method_def<"update_firmware_from_blob", &T::update_firmware_from_blob, "blob", "callbacks">(
        "update_firmware_from_blob($self, blob, callbacks)\n--\n\nUpdate device firmware with a firmware blob in "
        "memory\n\nParams:\n    blob (bytes): Firmware blob\n    callbacks (FirmwareUpdateCallbacks): A callbacks "
        "object"),
    method_def<"update_firmware_from_path", &T::update_firmware_from_path, "path", "callbacks">(
        "update_firmware_from_path($self, path, callbacks)\n--\n\nUpdate device firmware with file at the given "
        "path\n\nParams:\n    path (str): Firmware file path\n    callbacks (FirmwareUpdateCallbacks): A callbacks "
        "object"),
    method_def<"close", &T::close>(
        "close($self)\n--\n\nCloses the connection to the device now, for this Device and all its\nInterface "
        "objects. A call on the device in flight on another thread\nends first. Afterwards every call on them raises "
        "ValueError at once,\nwithout contacting the device; get_ean and get_serial_number still\nanswer. Closing "
        "again does nothing.\n\nA Device is also a context manager: a with-block closes it on exit."),
    {"__enter__", method_fn(&enter), METH_NOARGS, "__enter__($self)\n--\n\nReturns the device itself"},
    {"__exit__", method_fn(&exit), METH_VARARGS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\nCloses the device; an exception of the with-block "
     "propagates"},
    {nullptr, nullptr, 0, nullptr},
};

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<Device>() {
    return class_type<Device>(
        cell,
        {.name = "plenko_tq_api.Device", .doc = "Device class, used for all device operations", .methods = methods,
         .properties = properties});
}

}  // namespace tq::py
