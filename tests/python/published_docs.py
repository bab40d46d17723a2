"""The published docstrings, verbatim (text signature, "--" line, blank line, text)."""

# Fixed texts: callers match on them; keep verbatim, misspellings included.

EXCEPTIONS = {
    "OperationFailed": "OperationFailed is raised when the device was unable to perform the\nrequested operation",
    "OperationNotPermitted": "OperationNotPermitted is raised when the device was unable to perform\nthe requested operation due to lack of permission",
    "OperationNotSupportedByDevice": "OperationNotSupportedByDevice is raised when the device was unable to\nperform the requested operation due hardware restrictions on this device.",
    "OperationNotSupportedByInterface": "OperationNotSupportedByInterface is raised when an operation was\nattempted on an interface that does not support it (using TC10-related\nAPIs on a 100/1000BASE-T interface for instance)",
    "ApiNotAvailableInProtocolVersion": "ApiNotAvailableInProtocolVersion is raised when attempting to call an\nAPI function that is not supported in the firmware currently running on\nthe device, updating should resolve this error.",
}

FUNCTIONS = {
    "get_api_version": "get_api_version()\n--\n\nGets the version of this API\n\nReturns:\n    (int, int, int): A tuple with (major, minor, patch)",
    "get_api_version_string": "get_api_version_string()\n--\n\nGets the version string of this api\n\nReturns:\n    (str): A string using semver format: X.X.X",
    "format_ean": "format_ean(ean)\n--\n\nA helper function to format the given ean as:\nXX-XXXXX-XXXXX-X\n\nParameters:\n    ean (int): Ean to format\n\nReturns:\n    (str): A formatted string",
    "create_client": "create_client()\n--\n\nCreates a client instance.\n\nReturns:\n    (Client): A new client",
}

CLIENT_METHODS = {
    "scan_for_devices": "scan_for_devices($self)\n--\n\nScans for devices using DNS-SD\n\nReturns:\n   ([Device]): A list of found devices",
    "scan_for_devices_with_timeout": "scan_for_devices_with_timeout($self, timeout)\n--\n\nScans for devices using DNS-SD, using the given timout.\n\nParameters:\n    timeout: A time.duration with how long to wait for DNS-SD to\n        resolve devices. Default (when using scan_for_devices) is\n        1000ms, but often 100ms will be sufficient.\n\nReturns:\n    [Device]: A list of found devices",
    "connect": "connect($self, host, port, timeout=None)\n--\n\nConnects to one device by its address, without a scan: for networks\nthat do not carry DNS-SD (routers, VLANs, containers).\n\nParameters:\n    host (str): An IPv4 or IPv6 address (a link-local IPv6 one with\n        %interface, as in 'fe80::1%eth0') or a host name\n    port (int): The device's TCP port, 1 to 65535\n    timeout (datetime.timedelta): Bounds the connect and, afterwards,\n        every wait for the device's answers. Default: the client's\n        connection timeout (1.337 s)\n\nReturns:\n    (Device): The device, after the same handshake as a scan\n\nRaises:\n    OperationFailed: The host name was not found, the connection was\n        refused or timed out, or the device did not complete the\n        handshake\n    ApiNotAvailableInProtocolVersion: The device speaks a protocol version\n        this module does not (newer or older)",
}

DEVICE_METHODS = {
    "get_name": "get_name($self)\n--\n\nGets device name\n\nReturns:\n    (str): Device name as a string",
    "get_nickname": "get_nickname($self)\n--\n\nGets the nickname\n\nReturns:\n    (str): Device nickname\n\nRaises:\n    ApiNotAvailableInProtocolVersion: If the device firmware does not\n        yet support this api",
    "set_nickname": "set_nickname($self, nickname)\n--\n\nSets the nickname\n\nParameters:\n    nickname (str): New nickname\n\nRaises:\n    ApiNotAvailableInProtocolVersion: If the device firmware does not\n        yet support this api",
    "reset_nickname": "reset_nickname($self)\n--\n\nResets the nickname (sets it back to empty string).\n\nRaises:\n    ApiNotAvailableInProtocolVersion: If the device firmware does not\n        yet support this api",
    "get_serial_number": "get_serial_number($self)\n--\n\nReturns the device serial number\n\nReturns:\n    (int): Device serial number as an integer",
    "get_pcb_revision": "get_pcb_revision($self)\n--\n\nReturns PCB revision\n\nReturns:\n    (str): PCB revision",
    "get_firmware_version": "get_firmware_version($self)\n--\n\nReturns the firmware version string\n\nReturns:\n    (str): Firmware version",
    "get_bootloader_version": "get_bootloader_version($self)\n--\n\n",
    "get_manufacturing_date": "get_manufacturing_date($self)\n--\n\nReturns the date and time the device was manufactured\n\nReturns:\n    (datetime.datetime): Manufacturing date",
    "get_ean": "get_ean($self)\n--\n\nReturns the EAN\n\nReturns:\n    (int): The EAN (encoded as an integer in hex)",
    "get_firmware_ean": "get_firmware_ean($self)\n--\n\nReturns the firmware EAN\n\nReturns:\n    (int): The firmware EAN (encoded as an integer in hex)",
    "identify": "identify($self)\n--\n\nIdentifies device, meaning it will flash all LEDS on the device",
    "get_interfaces": "get_interfaces($self)\n--\n\nGets the device's interfaces\n\nReturns:\n    ([Interface]): The device's interfaces",
    "update_firmware_from_blob": "update_firmware_from_blob($self, blob, callbacks)\n--\n\nUpdate device firmware with a firmware blob in memory\n\nParams:\n    blob (bytes): Firmware blob\n    callbacks (FirmwareUpdateCallbacks): A callbacks object",
    "update_firmware_from_path": "update_firmware_from_path($self, path, callbacks)\n--\n\nUpdate device firmware with file at the given path\n\nParams:\n    path (str): Firmware file path\n    callbacks (FirmwareUpdateCallbacks): A callbacks object",
    "close": "close($self)\n--\n\nCloses the connection to the device now, for this Device and all its\nInterface objects. A call on the device in flight on another thread\nends first. Afterwards every call on them raises ValueError at once,\nwithout contacting the device; get_ean and get_serial_number still\nanswer. Closing again does nothing.\n\nA Device is also a context manager: a with-block closes it on exit.",
}

INTERFACE_METHODS = {
    "identify": "identify($self)\n--\n\nIdentifies interface, meaning it will flash the LED for this\ninterface",
    "get_nickname": "get_nickname($self)\n--\n\nGets the nickname\n\nReturns:\n    (str): Nicname\n",
    "set_nickname": "set_nickname($self, nickname)\n--\n\nSets the nickname\n\nParameters:\n    nickname (str): The new nickname",
    "reset_nickname": "reset_nickname($self)\n--\n\nResets the nickname back to empty string",
    "get_status": "get_status($self)\n--\n\nGets the interface status\n\nReturns:\n    (InterfaceStatus): The interface's status",
    "get_eth_config": "get_eth_config($self)\n--\n\nGets currently set ethernet configuration\n\nReturns:\n    (EthInterfaceConfig): Ethernet configuration",
    "set_eth_config": "set_eth_config($self, config)\n--\n\nSets the given ethernet configuration\n\nParameters:\n    config (EthInterfaceConfig): The new configuration",
    "get_supported_eth_configs": "get_supported_eth_configs($self)\n--\n\nGets the capabilities of the given interface\n\nReturns:\n    (EthInterfaceConfig): An configuration containing what\n    this interface is capable of.",
    "get_tc10_state": "get_tc10_state($self)\n--\n\nGets the tc10 state.\n\nRaises:\n    Will raise an ApiNotAvailableInProtocolVersion if the device\n    firmware does not yet have tc10 support\n\nReturns:\n    (Tc10State): The interface's TC10 state",
    "send_tc10_command": "send_tc10_command($self, command)\n--\n\nSends the given tc10 command\n\nNote:\n    Will respond with ApiNotAvailableInProtocolVersion if the device\n    firmware does not yet have tc10 support\n\nParameters:\n    command (Tc10Command): The TC10 command to send",
    "read_dcq": "read_dcq($self)\n--\n\nReads Dynamic Channel Quality\n\nReturns:\n    (DcqReading): A DCQ reading",
    "run_cable_test": "run_cable_test($self)\n--\n\nRunst a cable test\n\nReturns:\n    (CableTestResult): A cable test result",
    "get_loopback_state": "get_loopback_state($self)\n--\n\nGets the current loopback state\n\nReturns:\n    (bool): current loopback state",
    "set_loopback_state": "set_loopback_state($self, enabled)\n--\n\nSets the loopback state\n\nParameters:\n    enabled (bool): set loopback to enabled/disabled",
    "get_packet_generator_config": "get_packet_generator_config($self)\n--\n\nGets the packet generator config\n\nReturns:\n    (PacketGeneratorConfig): current packet generator config",
    "set_packet_generator_config": "set_packet_generator_config($self, config)\n--\n\nSets the packet generator config\n\nParameters:\n    config (PacketGeneratorConfi): the new config",
}

CALLBACKS_METHODS = {
    "update_started": "update_started($self, _total_bytes)\n--\n\nCalled when the update starts\n\nParameters:\n    total_bytes (int): Total number of bytes that will get transferred",
    "report_progress": "report_progress($self, _total_transferred_bytes)\n--\n\nCalled for every chunk of bytes that get transferred over to the device\n\nParameters:\n    total_transferred_bytes (int): Total number of bytes transferred\n    up to this point",
    "start_finalizing": "start_finalizing($self)\n--\n\nCalled after transfer has completed and device starts validating the\nnew firmware and writing it to flash.",
    "update_finished": "update_finished($self, _update_result)\n--\n\nCalled when update has completed\n\nParameters:\n    update_result (FirmwareUpdateResult): The result of the update",
}

VALUE_CLASSES = {
    "EthInterfaceConfig": "EthInterfaceConfig(speed, role, aneg_mode)\n--\n\nThe ethernet interface config. Used for setting/getting the\nconfiguration for an interface.\nAttributes:\n    speed ([EthLinkSpeed]): The speeds in this configuration\n    role ([EthRole]): The roles in this configuration\n    aneg_mode (EthAnegMode): The aneg mode in this configuration",
    "PacketGeneratorConfig": "PacketGeneratorConfig(enabled, payload_size, payload_type, validity, burst_size)\n--\n\nA Packet Generator Config\n\nAttributes:\n    enabled(bool): Whether the Packet Generator is on\n    payload_size(PgPayloadSize): Payload size\n    payload_type(PgPayloadType): Payload type\n    validity(PgPacketValidity): Packet validity\n    burst_size(u8): Burst size (0 => continous)",
    "InterfaceStatus": "Interface status is used to hold the response when querying the\ncurrent status of an interface\nAttributes:\n    interface_type (InterfaceType): The type of interface\n    eth_interface_status (EthInterfaceStatus): The interfaces\n        EthInterfaceStatus (if the interface type is an ethernate\n        interface)",
    "EthInterfaceStatus": " Hold the ethernet-specific interface status\n\nAttributes:\n    link_state (EthLinkState): The link state\n    role (EthRole): The role\n    speed (EthLinkSpeed): The link speed",
    "DcqReading": "A Dynamic Channel Quality result\n\nAttributes:\n    sqi (u8): Signal Quality Index\n    sqi_worst (u8): Worst Signal Quality Index since last read\n    mse (u16): Mean Square Error\n    mse_worst (u16): Worst Mean Square Error since last read\n    peak_mse (u8): Peak Mean Square Error\n    peak_mse_worst (u8): Worst Peak Mean Square Error since last read",
    "CableTestResult": "A Cable Test Result\n\nAttributes:\n    harness_status(CableTestHarnessStatus): The status of the harness\n    distance_to_fault(u32): Distance to any detected fault",
}

CLASS_DOCS = {
    "Client": "A client, used for scanning for devices.",
    "Device": "Device class, used for all device operations",
    "Interface": None,
    "FirmwareUpdateCallbacks": "FirmwareUpdateCallbacks()\n--\n\nThe FirmwareUpdateCallbacks is a base class to let user\nof update_firmware_from_blob or update_firmware_from_path track\nprogress during the update.\n\nExample:\n    Example subclassing FirmwareUpdateCallbacks\n\n        class PrintfCallbacks(FirmwareUpdateCallbacks):\n            total_bytes = 0\n\n            def update_started(self, total_bytes):\n                self.total_bytes = total_bytes\n                print(f'Starting update with {total_bytes} bytes')\n\n            def report_progress(self, total_transferred_bytes):\n                percent = (\n                    100.0 * total_transferred_bytes / self.total_bytes\n                    if self.total_bytes != 0\n                    else 0\n                )\n                print(f'Sent {total_transfer_bytes} bytes [{percent}%]')\n\n            def start_finalizing(self):\n                print('Upload done, now finalizing...')\n                print('Do not unplug the device!')\n\n            def update_finished(self, update_result):\n                match update_result:\n                case tq_api.FirmwareUpdateResult.Success:\n                    print('Update success!')\n                case _:\n                    print('Update failed')\n\n        callbacks = PrintfCallbacks()\n        device.update_firmware_from_path(\n            '/some/path/to/firmware.img', callbacks\n        )",
}
