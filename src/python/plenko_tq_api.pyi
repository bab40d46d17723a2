"""TQ API for Python module"""

# Type information for the extension module. Parameter names follow the
# module's own text signatures (so keyword calls check), and the classes the
# module does not let Python subclass are @final. The future import keeps the
# file executable by every supported interpreter (3.8 evaluates annotations
# eagerly and has no builtin generics).
#
# Fixed texts: the docstrings are the module's own, which callers match on;
# keep verbatim, misspellings included.

from __future__ import annotations

import datetime
import os
from types import TracebackType
from typing import ClassVar, Protocol, Sequence, final, type_check_only

from typing_extensions import disjoint_base

__version__: str

__all__ = [
    "OperationFailed",
    "OperationNotPermitted",
    "OperationNotSupportedByDevice",
    "OperationNotSupportedByInterface",
    "ApiNotAvailableInProtocolVersion",
    "Client",
    "Device",
    "FirmwareUpdateCallbacks",
    "FirmwareUpdateResult",
    "Interface",
    "InterfaceType",
    "EthLinkState",
    "EthRole",
    "EthLinkSpeed",
    "EthAnegMode",
    "InterfaceStatus",
    "EthInterfaceStatus",
    "EthInterfaceConfig",
    "Tc10Command",
    "Tc10State",
    "DcqReading",
    "CableTestHarnessStatus",
    "CableTestResult",
    "PgPayloadSize",
    "PgPayloadType",
    "PgPacketValidity",
    "PacketGeneratorConfig",
    "get_api_version",
    "get_api_version_string",
    "format_ean",
    "create_client",
    "DeviceTimedOut",
    "DeviceConnectionLost",
]

# Exceptions. These five derive from RuntimeError and are unrelated to each
# other. Client failures without a class of their own raise ValueError; the
# transport failures raise the two ValueError subclasses below.

class OperationFailed(RuntimeError):
    """OperationFailed is raised when the device was unable to perform the
    requested operation"""

class OperationNotPermitted(RuntimeError):
    """OperationNotPermitted is raised when the device was unable to perform
    the requested operation due to lack of permission"""

class OperationNotSupportedByDevice(RuntimeError):
    """OperationNotSupportedByDevice is raised when the device was unable to
    perform the requested operation due hardware restrictions on this device."""

class OperationNotSupportedByInterface(RuntimeError):
    """OperationNotSupportedByInterface is raised when an operation was
    attempted on an interface that does not support it (using TC10-related
    APIs on a 100/1000BASE-T interface for instance)"""

class ApiNotAvailableInProtocolVersion(RuntimeError):
    """ApiNotAvailableInProtocolVersion is raised when attempting to call an
    API function that is not supported in the firmware currently running on
    the device, updating should resolve this error."""

class DeviceTimedOut(ValueError):
    """DeviceTimedOut is raised when the device did not answer a request, or did
    not take it, within the connection timeout (1.337 s, or the timeout given
    to Client.connect): the device is busy or slow, or can no longer be
    reached. It is a ValueError with the client's message ("Unknown error
    type TcpStreamReadError(...)" or "... TcpStreamWriteError(...)"), so
    handlers of ValueError still catch it.

    The connection is closed and the next call on the device connects
    again: retry, check the device's power and cable, or give Client.connect
    a longer timeout for a device that is slow to answer."""

class DeviceConnectionLost(ValueError):
    """DeviceConnectionLost is raised when the connection to the device was
    closed, reset or refused: the device restarted, was switched off or
    unplugged, or its network went away. It is a ValueError with the
    client's message ("Unknown error type TcpStreamReadError(...)" or
    "... TcpStreamWriteError(...)"), so handlers of ValueError still catch
    it.

    The next call on the device connects again and checks that the same
    device answers: retry once the device is back (after a restart or a
    firmware update), or scan for it again."""

# Enumerations. Members are single instances compared by identity; int()
# gives the value. There is no construction from an int, no iteration and no
# ordering, so none is declared.

@final
class EthLinkSpeed:
    """The ethernet link speed"""

    Speed10MbitFullDuplex: ClassVar[EthLinkSpeed]
    Speed10MbitHalfDuplex: ClassVar[EthLinkSpeed]
    Speed100MbitFullDuplex: ClassVar[EthLinkSpeed]
    Speed100MbitHalfDuplex: ClassVar[EthLinkSpeed]
    Speed1000MbitFullDuplex: ClassVar[EthLinkSpeed]
    Speed1000MbitHalfDuplex: ClassVar[EthLinkSpeed]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[EthLinkSpeed, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> EthLinkSpeed:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[EthLinkSpeed], str]]: ...

@final
class EthRole:
    """The ethernet role"""

    Leader: ClassVar[EthRole]
    LeaderPreferred: ClassVar[EthRole]
    Follower: ClassVar[EthRole]
    FollowerPreferred: ClassVar[EthRole]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[EthRole, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> EthRole:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[EthRole], str]]: ...

@final
class EthAnegMode:
    """The ethernet auto negotiation mode"""

    AnegDisabled: ClassVar[EthAnegMode]
    IEEEAnegEnabled: ClassVar[EthAnegMode]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[EthAnegMode, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> EthAnegMode:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[EthAnegMode], str]]: ...

@final
class EthLinkState:
    """The ethernet link state"""

    Up: ClassVar[EthLinkState]
    Down: ClassVar[EthLinkState]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[EthLinkState, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> EthLinkState:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[EthLinkState], str]]: ...

@final
class Tc10State:
    """Possible TC10 states"""

    Normal: ClassVar[Tc10State]
    Sleep: ClassVar[Tc10State]
    SleepFailed: ClassVar[Tc10State]
    SleepAborted: ClassVar[Tc10State]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[Tc10State, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> Tc10State:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[Tc10State], str]]: ...

@final
class Tc10Command:
    """Available TC10 commands"""

    WakeUp: ClassVar[Tc10Command]
    Sleep: ClassVar[Tc10Command]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[Tc10Command, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> Tc10Command:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[Tc10Command], str]]: ...

@final
class InterfaceType:
    """The interface type"""

    T1: ClassVar[InterfaceType]
    T: ClassVar[InterfaceType]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[InterfaceType, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> InterfaceType:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[InterfaceType], str]]: ...

@final
class PgPayloadSize:
    """Packet Generator Paylad Size"""

    Size64: ClassVar[PgPayloadSize]
    Size1518: ClassVar[PgPayloadSize]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[PgPayloadSize, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> PgPayloadSize:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[PgPayloadSize], str]]: ...

@final
class PgPayloadType:
    """Packet Generator Paylad Type"""

    PseudoRandom: ClassVar[PgPayloadType]
    Alternating: ClassVar[PgPayloadType]
    OnlyOnes: ClassVar[PgPayloadType]
    OnlyZeroes: ClassVar[PgPayloadType]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[PgPayloadType, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> PgPayloadType:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[PgPayloadType], str]]: ...

@final
class PgPacketValidity:
    """Packet Generator Packet Validity"""

    GoodCrc: ClassVar[PgPacketValidity]
    SymbolErrorsBadCrc: ClassVar[PgPacketValidity]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[PgPacketValidity, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> PgPacketValidity:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[PgPacketValidity], str]]: ...

@final
class FirmwareUpdateResult:
    """Result of firmware update"""

    Success: ClassVar[FirmwareUpdateResult]
    TransferError: ClassVar[FirmwareUpdateResult]
    FirmwareFailedSignatureCheck: ClassVar[FirmwareUpdateResult]
    FirmwareCorrupt: ClassVar[FirmwareUpdateResult]
    FirmwareForOtherDevice: ClassVar[FirmwareUpdateResult]
    UnknownError: ClassVar[FirmwareUpdateResult]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[FirmwareUpdateResult, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> FirmwareUpdateResult:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[FirmwareUpdateResult], str]]: ...

@final
class CableTestHarnessStatus:
    """Cable test harness status"""

    CableOpen: ClassVar[CableTestHarnessStatus]
    CableShorted: ClassVar[CableTestHarnessStatus]
    CableGood: ClassVar[CableTestHarnessStatus]
    def __int__(self) -> int: ...
    members: ClassVar[tuple[CableTestHarnessStatus, ...]]
    """Every member, in value order."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    @classmethod
    def from_value(cls, value: int, /) -> CableTestHarnessStatus:
        """The member with this value; ValueError if there is none."""
    def __reduce__(self) -> tuple[object, tuple[type[CableTestHarnessStatus], str]]: ...

# Value classes. Attributes are read-only.

@final
class EthInterfaceConfig:
    """The ethernet interface config. Used for setting/getting the
    configuration for an interface.
    Attributes:
        speed ([EthLinkSpeed]): The speeds in this configuration
        role ([EthRole]): The roles in this configuration
        aneg_mode (EthAnegMode): The aneg mode in this configuration"""

    # Any sequence but str (lists, tuples, ...); sets and generators are refused.
    def __new__(
        cls, speed: Sequence[EthLinkSpeed], role: Sequence[EthRole], aneg_mode: EthAnegMode
    ) -> EthInterfaceConfig: ...
    # Each read builds a new list.
    @property
    def role(self) -> list[EthRole]: ...
    @property
    def speed(self) -> list[EthLinkSpeed]: ...
    @property
    def aneg_mode(self) -> EthAnegMode: ...

@final
class PacketGeneratorConfig:
    """A Packet Generator Config

    Attributes:
        enabled(bool): Whether the Packet Generator is on
        payload_size(PgPayloadSize): Payload size
        payload_type(PgPayloadType): Payload type
        validity(PgPacketValidity): Packet validity
        burst_size(u8): Burst size (0 => continous)"""

    # burst_size: 0 to 255, 0 meaning continuous.
    def __new__(
        cls,
        enabled: bool,
        payload_size: PgPayloadSize,
        payload_type: PgPayloadType,
        validity: PgPacketValidity,
        burst_size: int,
    ) -> PacketGeneratorConfig: ...
    @property
    def enabled(self) -> bool: ...
    @property
    def payload_size(self) -> PgPayloadSize: ...
    @property
    def payload_type(self) -> PgPayloadType: ...
    @property
    def validity(self) -> PgPacketValidity: ...
    @property
    def burst_size(self) -> int: ...

@final
class EthInterfaceStatus:
    """ Hold the ethernet-specific interface status

    Attributes:
        link_state (EthLinkState): The link state
        role (EthRole): The role
        speed (EthLinkSpeed): The link speed"""

    @property
    def link_state(self) -> EthLinkState: ...
    @property
    def role(self) -> EthRole: ...
    @property
    def speed(self) -> EthLinkSpeed: ...

@final
class InterfaceStatus:
    """Interface status is used to hold the response when querying the
    current status of an interface
    Attributes:
        interface_type (InterfaceType): The type of interface
        eth_interface_status (EthInterfaceStatus): The interfaces
            EthInterfaceStatus (if the interface type is an ethernate
            interface)"""

    @property
    def interface_type(self) -> InterfaceType: ...
    @property
    def eth_interface_status(self) -> EthInterfaceStatus: ...

@final
class DcqReading:
    """A Dynamic Channel Quality result

    Attributes:
        sqi (u8): Signal Quality Index
        sqi_worst (u8): Worst Signal Quality Index since last read
        mse (u16): Mean Square Error
        mse_worst (u16): Worst Mean Square Error since last read
        peak_mse (u8): Peak Mean Square Error
        peak_mse_worst (u8): Worst Peak Mean Square Error since last read"""

    @property
    def sqi(self) -> int: ...
    @property
    def sqi_worst(self) -> int: ...
    @property
    def mse(self) -> int: ...
    @property
    def mse_worst(self) -> int: ...
    @property
    def peak_mse(self) -> int: ...
    @property
    def peak_mse_worst(self) -> int: ...

@final
class CableTestResult:
    """A Cable Test Result

    Attributes:
        harness_status(CableTestHarnessStatus): The status of the harness
        distance_to_fault(u32): Distance to any detected fault"""

    @property
    def harness_status(self) -> CableTestHarnessStatus: ...
    @property
    def distance_to_fault(self) -> int: ...

# What the configuration setters accept: they read the attributes by name, so
# any object carrying them works, not only the value classes above.

@type_check_only
class _EthInterfaceConfigLike(Protocol):
    @property
    def role(self) -> Sequence[EthRole]: ...
    @property
    def speed(self) -> Sequence[EthLinkSpeed]: ...
    @property
    def aneg_mode(self) -> EthAnegMode: ...

@type_check_only
class _PacketGeneratorConfigLike(Protocol):
    @property
    def enabled(self) -> bool: ...
    @property
    def payload_size(self) -> PgPayloadSize: ...
    @property
    def payload_type(self) -> PgPayloadType: ...
    @property
    def validity(self) -> PgPacketValidity: ...
    @property
    def burst_size(self) -> int: ...

# What the firmware update calls back. The update looks the four methods up by
# name and calls them positionally; what they return is discarded.

@type_check_only
class _FirmwareUpdateCallbacksLike(Protocol):
    def update_started(self, total_bytes: int, /) -> object: ...
    def report_progress(self, total_transferred_bytes: int, /) -> object: ...
    def start_finalizing(self) -> object: ...
    def update_finished(self, update_result: FirmwareUpdateResult, /) -> object: ...

# Subclassable, but its instances have a C layout of their own, so it cannot
# be combined with another such base in one class.
@disjoint_base
class FirmwareUpdateCallbacks:
    """The FirmwareUpdateCallbacks is a base class to let user
    of update_firmware_from_blob or update_firmware_from_path track
    progress during the update.

    Example:
        Example subclassing FirmwareUpdateCallbacks

            class PrintfCallbacks(FirmwareUpdateCallbacks):
                total_bytes = 0

                def update_started(self, total_bytes):
                    self.total_bytes = total_bytes
                    print(f'Starting update with {total_bytes} bytes')

                def report_progress(self, total_transferred_bytes):
                    percent = (
                        100.0 * total_transferred_bytes / self.total_bytes
                        if self.total_bytes != 0
                        else 0
                    )
                    print(f'Sent {total_transfer_bytes} bytes [{percent}%]')

                def start_finalizing(self):
                    print('Upload done, now finalizing...')
                    print('Do not unplug the device!')

                def update_finished(self, update_result):
                    match update_result:
                    case tq_api.FirmwareUpdateResult.Success:
                        print('Update success!')
                    case _:
                        print('Update failed')

            callbacks = PrintfCallbacks()
            device.update_firmware_from_path(
                '/some/path/to/firmware.img', callbacks
            )"""

    def __init__(self) -> None: ...
    def update_started(self, _total_bytes: int) -> None:
        """Called when the update starts

        Parameters:
            total_bytes (int): Total number of bytes that will get transferred"""

    def report_progress(self, _total_transferred_bytes: int) -> None:
        """Called for every chunk of bytes that get transferred over to the device

        Parameters:
            total_transferred_bytes (int): Total number of bytes transferred
            up to this point"""

    def start_finalizing(self) -> None:
        """Called after transfer has completed and device starts validating the
        new firmware and writing it to flash."""

    def update_finished(self, _update_result: FirmwareUpdateResult) -> None:
        """Called when update has completed

        Parameters:
            update_result (FirmwareUpdateResult): The result of the update"""

# Client, devices and their interfaces. None of the three can be created by
# calling the class: create_client(), the scans and Device.get_interfaces()
# make them.

@final
class Interface:
    def identify(self) -> None:
        """Identifies interface, meaning it will flash the LED for this
        interface"""

    def get_nickname(self) -> str:
        """Gets the nickname

        Returns:
            (str): Nicname"""

    def set_nickname(self, nickname: str) -> None:
        """Sets the nickname

        Parameters:
            nickname (str): The new nickname"""

    def reset_nickname(self) -> None:
        """Resets the nickname back to empty string"""

    def get_status(self) -> InterfaceStatus:
        """Gets the interface status

        Returns:
            (InterfaceStatus): The interface's status"""

    def get_eth_config(self) -> EthInterfaceConfig:
        """Gets currently set ethernet configuration

        Returns:
            (EthInterfaceConfig): Ethernet configuration"""

    def set_eth_config(self, config: _EthInterfaceConfigLike) -> None:
        """Sets the given ethernet configuration

        Parameters:
            config (EthInterfaceConfig): The new configuration"""

    def get_supported_eth_configs(self) -> EthInterfaceConfig:
        """Gets the capabilities of the given interface

        Returns:
            (EthInterfaceConfig): An configuration containing what
            this interface is capable of."""

    def get_tc10_state(self) -> Tc10State:
        """Gets the tc10 state.

        Raises:
            Will raise an ApiNotAvailableInProtocolVersion if the device
            firmware does not yet have tc10 support

        Returns:
            (Tc10State): The interface's TC10 state"""

    def send_tc10_command(self, command: Tc10Command) -> None:
        """Sends the given tc10 command

        Note:
            Will respond with ApiNotAvailableInProtocolVersion if the device
            firmware does not yet have tc10 support

        Parameters:
            command (Tc10Command): The TC10 command to send"""

    def read_dcq(self) -> DcqReading:
        """Reads Dynamic Channel Quality

        Returns:
            (DcqReading): A DCQ reading"""

    def run_cable_test(self) -> CableTestResult:
        """Runst a cable test

        Returns:
            (CableTestResult): A cable test result"""

    def get_loopback_state(self) -> bool:
        """Gets the current loopback state

        Returns:
            (bool): current loopback state"""

    def set_loopback_state(self, enabled: bool) -> None:
        """Sets the loopback state

        Parameters:
            enabled (bool): set loopback to enabled/disabled"""

    def get_packet_generator_config(self) -> PacketGeneratorConfig:
        """Gets the packet generator config

        Returns:
            (PacketGeneratorConfig): current packet generator config"""

    def set_packet_generator_config(self, config: _PacketGeneratorConfigLike) -> None:
        """Sets the packet generator config

        Parameters:
            config (PacketGeneratorConfi): the new config"""

@final
class Device:
    """Device class, used for all device operations"""

    @property
    def address(self) -> tuple[str, int]:
        """(host, port) the device was reached at"""
    @property
    def protocol_version(self) -> int:
        """The protocol version the device speaks"""
    def get_name(self) -> str:
        """Gets device name

        Returns:
            (str): Device name as a string"""

    def get_nickname(self) -> str:
        """Gets the nickname

        Returns:
            (str): Device nickname

        Raises:
            ApiNotAvailableInProtocolVersion: If the device firmware does not
                yet support this api"""

    def set_nickname(self, nickname: str) -> None:
        """Sets the nickname

        Parameters:
            nickname (str): New nickname

        Raises:
            ApiNotAvailableInProtocolVersion: If the device firmware does not
                yet support this api"""

    def reset_nickname(self) -> None:
        """Resets the nickname (sets it back to empty string).

        Raises:
            ApiNotAvailableInProtocolVersion: If the device firmware does not
                yet support this api"""

    def get_serial_number(self) -> int:
        """Returns the device serial number

        Returns:
            (int): Device serial number as an integer"""

    def get_pcb_revision(self) -> str:
        """Returns PCB revision

        Returns:
            (str): PCB revision"""

    def get_firmware_version(self) -> str:
        """Returns the firmware version string

        Returns:
            (str): Firmware version"""

    def get_bootloader_version(self) -> str: ...
    # Timezone-aware, in UTC.
    def get_manufacturing_date(self) -> datetime.datetime:
        """Returns the date and time the device was manufactured

        Returns:
            (datetime.datetime): Manufacturing date"""

    def get_ean(self) -> int:
        """Returns the EAN

        Returns:
            (int): The EAN (encoded as an integer in hex)"""

    def get_firmware_ean(self) -> int:
        """Returns the firmware EAN

        Returns:
            (int): The firmware EAN (encoded as an integer in hex)"""

    def identify(self) -> None:
        """Identifies device, meaning it will flash all LEDS on the device"""

    def get_interfaces(self) -> list[Interface]:
        """Gets the device's interfaces

        Returns:
            ([Interface]): The device's interfaces"""

    def update_firmware_from_blob(self, blob: bytes, callbacks: _FirmwareUpdateCallbacksLike) -> None:
        """Update device firmware with a firmware blob in memory

        Params:
            blob (bytes): Firmware blob
            callbacks (FirmwareUpdateCallbacks): A callbacks object"""

    def update_firmware_from_path(self, path: str, callbacks: _FirmwareUpdateCallbacksLike) -> None:
        """Update device firmware with file at the given path

        Params:
            path (str): Firmware file path
            callbacks (FirmwareUpdateCallbacks): A callbacks object"""

    def close(self) -> None:
        """Closes the connection to the device now, for this Device and all its
        Interface objects. A call on the device in flight on another thread
        ends first. Afterwards every call on them raises ValueError at once,
        without contacting the device; get_ean and get_serial_number still
        answer. Closing again does nothing.

        A Device is also a context manager: a with-block closes it on exit."""

    def __enter__(self) -> Device: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

@final
class Client:
    """A client, used for scanning for devices."""

    def scan_for_devices(self) -> list[Device]:
        """Scans for devices using DNS-SD

        Returns:
           ([Device]): A list of found devices"""

    # timeout must not be negative.
    def scan_for_devices_with_timeout(self, timeout: datetime.timedelta) -> list[Device]:
        """Scans for devices using DNS-SD, using the given timout.

        Parameters:
            timeout: A time.duration with how long to wait for DNS-SD to
                resolve devices. Default (when using scan_for_devices) is
                1000ms, but often 100ms will be sufficient.

        Returns:
            [Device]: A list of found devices"""

    # port 1 to 65535; timeout longer than zero (None: the client's own).
    def connect(self, host: str, port: int, timeout: datetime.timedelta | None = None) -> Device:
        """Connects to one device by its address, without a scan: for networks
        that do not carry DNS-SD (routers, VLANs, containers).

        Parameters:
            host (str): An IPv4 or IPv6 address (a link-local IPv6 one with
                %interface, as in 'fe80::1%eth0') or a host name
            port (int): The device's TCP port, 1 to 65535
            timeout (datetime.timedelta): Bounds the connect and, afterwards,
                every wait for the device's answers. Default: the client's
                connection timeout (1.337 s)

        Returns:
            (Device): The device, after the same handshake as a scan

        Raises:
            OperationFailed: The host name was not found, the connection was
                refused or timed out, or the device did not complete the
                handshake
            ApiNotAvailableInProtocolVersion: The device speaks a protocol version
                this module does not (newer or older)"""

# Module functions.

def get_api_version() -> tuple[int, int, int]:
    """Gets the version of this API

    Returns:
        (int, int, int): A tuple with (major, minor, patch)"""

def get_api_version_string() -> str:
    """Gets the version string of this api

    Returns:
        (str): A string using semver format: X.X.X"""

def format_ean(ean: int) -> str:
    """A helper function to format the given ean as:
    XX-XXXXX-XXXXX-X

    Parameters:
        ean (int): Ean to format

    Returns:
        (str): A formatted string"""

def create_client() -> Client:
    """Creates a client instance.

    Returns:
        (Client): A new client"""

def trace_to(path: str | os.PathLike[str] | None, /) -> None:
    """Writes every exchange of this process with its devices, from now on, to a pcapng file at path
    (created or replaced): one TCP stream per connection, the bytes as sent and received, with
    their times. Wireshark and tshark show it with the dissector that `plenko-tq wireshark`
    prints. trace_to(None) stops the trace and closes the file; off by default.

    Parameters:
        path (str | os.PathLike | None): The file, or None to stop

    Raises:
        OSError: The file cannot be written"""

def diagnostics_to_logging(enabled: bool) -> bool:
    """Sends the module's diagnostic lines (a device left out of a scan, a
    firmware callback that raised, ...) to the logging module instead of
    standard output, or back to standard output. The setting holds for the
    whole process.

    With enabled=True each line becomes a WARNING record of the logger
    "plenko_tq_api" with the line's text as its message and the attribute
    device_address: "host:port" of the device the line is about (for a
    device left out of a scan every address it was found at, joined by
    ", "), or None. The record is logged on the thread that called the
    module, when the call returns. With enabled=False, the default, the
    lines go to standard output as they happen.

    Parameters:
        enabled (bool): True for logging, False for standard output

    Returns:
        (bool): The setting before this call"""

def _interrupt_thread(thread_ident: int, stop: bool, /) -> None:
    """Private: asks the call that the thread runs now to stop as Ctrl-C stops it (stop=True), or withdraws
    that request once the call has returned (stop=False)."""
