// Client: made by create_client(), scans for devices.
#include "python/classes.hpp"
#include "python/method.hpp"

namespace tq::py {
namespace {

using T = Client;

PyMethodDef methods[] = {
    method_def<"scan_for_devices", &T::scan_for_devices>(
        "scan_for_devices($self)\n--\n\nScans for devices using DNS-SD\n\nReturns:\n   ([Device]): A list of found "
        "devices"),
    method_def<"scan_for_devices_with_timeout", &T::scan_for_devices_with_timeout, "timeout">(
        "scan_for_devices_with_timeout($self, timeout)\n--\n\nScans for devices using DNS-SD, using the given "
        "timout.\n\nParameters:\n    timeout: A time.duration with how long to wait for DNS-SD to\n        resolve "
        "devices. Default (when using scan_for_devices) is\n        1000ms, but often 100ms will be "
        "sufficient.\n\nReturns:\n    [Device]: A list of found devices"),
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
