// Client: made by create_client(), scans for devices.
#include "python/classes.hpp"
#include "python/method.hpp"

namespace tq::py {
namespace {

using T = Client;

bool refuse(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    return false;
}

// Client.connect's parameters, each with its own checks on top of the plain
// conversion; every one fails before anything is looked up or sent.
struct Host {
    std::string_view text;
};
struct Port {
    uint16_t number;
};
struct ConnectTimeout {
    std::optional<std::chrono::nanoseconds> value;
};

struct HostArg {
    bool load(PyObject* obj) {
        if (!text.load(obj)) return false;
        if (text.get().empty()) return refuse("argument 'host': empty");
        if (text.get().find('\0') != std::string_view::npos) return refuse("argument 'host': contains a NUL character");
        return true;
    }
    Host get() const { return {text.get()}; }
    StrArg text;
};

struct PortArg {
    bool load(PyObject* obj) {
        if (!number.load(obj)) return false;
        return number.get() != 0 || refuse("argument 'port': a device's port is from 1 to 65535, not 0");
    }
    Port get() const { return {number.get()}; }
    UIntArg<uint16_t> number;
};

// Left out or None: the client's connection timeout.
struct TimeoutArg {
    static constexpr bool kOptional = true;
    bool load(PyObject* obj) {
        if (obj == nullptr || obj == Py_None) return true;
        if (!duration.load(obj)) return false;
        if (duration.get() == std::chrono::nanoseconds::zero()) {
            return refuse("argument 'timeout': a connection timeout must be longer than zero");
        }
        value = duration.get();
        return true;
    }
    ConnectTimeout get() const { return {value}; }
    DurationArg duration;
    std::optional<std::chrono::nanoseconds> value;
};

}  // namespace

template <>
struct ConverterFor<Host> {
    using type = HostArg;
};
template <>
struct ConverterFor<Port> {
    using type = PortArg;
};
template <>
struct ConverterFor<ConnectTimeout> {
    using type = TimeoutArg;
};

namespace {

tl::expected<Device, ConnectFailure> connect(const Client& client, Host host, Port port, ConnectTimeout timeout) {
    return client.connect(host.text, port.number, timeout.value);
}

// Fixed texts: callers match on them; keep verbatim, misspellings included.
PyMethodDef methods[] = {
    method_def<"scan_for_devices", &T::scan_for_devices>(
        "scan_for_devices($self)\n--\n\nScans for devices using DNS-SD\n\nReturns:\n   ([Device]): A list of found "
        "devices"),
    method_def<"scan_for_devices_with_timeout", &T::scan_for_devices_with_timeout, "timeout">(
        "scan_for_devices_with_timeout($self, timeout)\n--\n\nScans for devices using DNS-SD, using the given "
        "timout.\n\nParameters:\n    timeout: A time.duration with how long to wait for DNS-SD to\n        resolve "
        "devices. Default (when using scan_for_devices) is\n        1000ms, but often 100ms will be "
        "sufficient.\n\nReturns:\n    [Device]: A list of found devices"),
    method_def<"connect", &connect, "host", "port", "timeout">(
        "connect($self, host, port, timeout=None)\n--\n\nConnects to one device by its address, without a scan: for "
        "networks\nthat do not carry DNS-SD (routers, VLANs, containers).\n\nParameters:\n    host (str): An IPv4 or "
        "IPv6 address (a link-local IPv6 one with\n        %interface, as in 'fe80::1%eth0') or a host name\n    port "
        "(int): The device's TCP port, 1 to 65535\n    timeout (datetime.timedelta): Bounds the connect and, "
        "afterwards,\n        every wait for the device's answers. Default: the client's\n        connection timeout "
        "(1.337 s)\n\nReturns:\n    (Device): The device, after the same handshake as a scan\n\nRaises:\n    "
        "OperationFailed: The host name was not found, the connection was\n        refused or timed out, or the "
        "device did not complete the\n        handshake\n    ApiNotAvailableInProtocolVersion: The device speaks a "
        "protocol version\n        this module does not (newer or older)"),
    {nullptr, nullptr, 0, nullptr},
};

ProcessCell cell;

}  // namespace

template <>
PyTypeObject* python_type<Client>() {
    return class_type<Client>(
        cell, {.name = "plenko_tq_api.Client", .doc = "A client, used for scanning for devices.", .methods = methods});
}

}  // namespace tq::py
