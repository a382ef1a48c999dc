"""Python face of libkavrel.so: drives on fieldbuses, through ctypes.

    import kavrel
    with kavrel.Manager(protocol="ModbusTCP") as manager:
        with manager.interface(IpAddress="127.0.0.1", EthernetPort=502, DontShow=1) as bus:
            with bus.connect(1) as drive:
                print(drive.vendor_name, drive.read(2, 1, 1))

Every failing call raises KavrelError with the library's result code and text.
Events (scan steps, node-guard time-outs, upload progress) are delivered when
the host asks for them: iterate Manager.events(), or register callbacks with
Manager.on_event() and call Manager.dispatch().
"""
from __future__ import annotations

import ctypes
import enum
import os
import sys
import time
from collections import deque
from dataclasses import dataclass
from typing import Callable, Deque, Dict, Iterator, List, Optional, Tuple, Union

from . import _native

__all__ = ["KavrelError", "EventKind", "Event", "Manager", "Interface", "Device", "error_text"]

Value = Union[str, int, float]


class KavrelError(Exception):
    """A failed call: code is the library's 32-bit result code (unsigned), text its explanation."""

    def __init__(self, code: int, text: str) -> None:
        self.code = code & 0xFFFFFFFF
        self.text = text
        super().__init__("0x%08X: %s" % (self.code, text))


class EventKind(enum.IntEnum):
    NODE_GUARD_TIMEOUT = 1  # first: the device's id
    SCAN_STEPPED = 2        # first: the id tried, second: 1 found, 0 not
    SCAN_FINISHED = 3
    UPLOAD_FINISHED = 4     # first: session id, second: error value (0 = success)
    NEXT_PACKET = 5         # first: session id, second: the packet about to be fetched


@dataclass(frozen=True)
class Event:
    kind: EventKind
    source: int  # handle of the interface or device that fired it
    first: int
    second: int


def _check(result: int) -> int:
    if result < 0:
        lib = _native.lib()
        raise KavrelError(lib.kavrel_last_error_code(), _text_of(lib.kavrel_last_error_text))
    return result


def _text_of(function: Callable[..., int], *args: object) -> str:
    """Calls a text-filling function; it returns the size it needs when the buffer is too small."""
    size = 256
    while True:
        buffer = ctypes.create_string_buffer(size)
        result = function(*args, buffer, size)
        if result < 0:
            if function is _native.lib().kavrel_last_error_text:
                return ""
            _check(result)
        if result <= size:
            return buffer.value.decode("utf-8", "replace")
        size = result


def _text(function: Callable[..., int], *args: object) -> str:
    return _text_of(function, *args)


def error_text(code: int) -> str:
    """The library's text for a result code."""
    lib = _native.lib()
    signed = code - (1 << 32) if code >= 1 << 31 else code
    return _text(lib.kavrel_error_text_for, signed)


class Manager:
    """The process-wide communication manager. Several Manager objects share it and its events."""

    _pending: Deque[Event] = deque()
    _callbacks: List[Callable[[Event], None]] = []
    _keyed = False

    def __init__(self, protocol: Optional[str] = None, data_path: Optional[str] = None,
                 settings_key: Optional[str] = None) -> None:
        """settings_key chooses the settings file "LastSettings_<key>.xml"; by default a
        script keeps its own, named after it ("" shares the command-line tool's)."""
        self._lib = _native.lib()
        if settings_key is None and not Manager._keyed:
            script = os.path.splitext(os.path.basename(sys.argv[0] if sys.argv and sys.argv[0] else ""))[0]
            settings_key = "".join(c for c in script if c.isalnum() or c in "-_.") or "python"
        if settings_key is not None:
            self.settings_key = settings_key
        if data_path is not None:
            self.data_path = data_path
        if protocol is not None:
            self.protocol = protocol

    def __enter__(self) -> "Manager":
        return self

    def __exit__(self, *exc: object) -> None:
        pass  # the manager lives as long as the process

    @property
    def version(self) -> str:
        return _text(self._lib.kavrel_version)

    @property
    def protocol(self) -> str:
        return _text(self._lib.kavrel_get_protocol)

    @protocol.setter
    def protocol(self, name: str) -> None:
        _check(self._lib.kavrel_set_protocol(name.encode()))

    @property
    def protocols(self) -> List[str]:
        count = ctypes.c_int32()
        _check(self._lib.kavrel_protocol_count(ctypes.byref(count)))
        return [_text(self._lib.kavrel_protocol_name, n) for n in range(1, count.value + 1)]

    @property
    def data_path(self) -> Optional[str]:
        return getattr(self, "_data_path", None)

    @data_path.setter
    def data_path(self, path: str) -> None:
        _check(self._lib.kavrel_set_data_path(str(path).encode()))
        self._data_path = str(path)

    def set_last_settings_path(self, path: str) -> None:
        _check(self._lib.kavrel_set_last_settings_path(str(path).encode()))

    @property
    def settings_key(self) -> Optional[str]:
        return getattr(self, "_settings_key", None)

    @settings_key.setter
    def settings_key(self, key: str) -> None:
        _check(self._lib.kavrel_set_settings_file_key(key.encode()))
        Manager._keyed = True
        self._settings_key = key

    @property
    def settings_file(self) -> str:
        """The settings file in use ("" until a data path is set)."""
        return _text(self._lib.kavrel_get_settings_file)

    def error_text(self, code: int) -> str:
        return error_text(code)

    def interface(self, scan: bool = False, protocol: Optional[str] = None, **settings: Value) -> "Interface":
        """A new interface of the selected protocol (or of protocol), with the settings given by name."""
        if protocol is not None:
            self.protocol = protocol
        handle = ctypes.c_uint32()
        _check(self._lib.kavrel_create_interface(1 if scan else 0, ctypes.byref(handle)))
        made = Interface(self, handle.value)
        try:
            for key, value in settings.items():
                made[key] = value
        except KavrelError:
            made.close()
            raise
        return made

    # Events ---------------------------------------------------------------

    def poll(self, timeout: float = 0.0) -> Optional[Event]:
        """The next event, waiting up to timeout seconds; None when none came."""
        if Manager._pending:
            return Manager._pending.popleft()
        raw = _native.RawEvent()
        result = _check(self._lib.kavrel_poll_event(int(timeout * 1000), ctypes.byref(raw)))
        if result != 0 or raw.kind == 0:
            return None
        return Event(EventKind(raw.kind), raw.source, raw.first, raw.second)

    def events(self, timeout: float = 1.0, source: Optional[int] = None,
               until: Optional[Callable[[Event], bool]] = None) -> Iterator[Event]:
        """Events as they come, for timeout seconds in all or until until(event) is true.

        With source, only that handle's events are yielded; others wait for a later call."""
        end = time.monotonic() + timeout
        kept: List[Event] = []
        try:
            while True:
                left = end - time.monotonic()
                if left <= 0:
                    return
                event = self.poll(min(left, 0.1))
                if event is None:
                    continue
                if source is not None and event.source != source:
                    kept.append(event)
                    continue
                yield event
                if until is not None and until(event):
                    return
        finally:
            Manager._pending.extend(kept)

    def on_event(self, callback: Callable[[Event], None]) -> None:
        """Registers a callback that dispatch() calls for each event, on the dispatching thread."""
        Manager._callbacks.append(callback)

    def dispatch(self, timeout: float = 0.0) -> int:
        """Hands every event that comes within timeout seconds to the callbacks; returns how many."""
        count = 0
        for event in self.events(timeout):
            count += 1
            for callback in list(Manager._callbacks):
                callback(event)
        return count


class _Handle:
    def __init__(self, manager: Manager, handle: int) -> None:
        self.manager = manager
        self.handle = handle
        self._lib = manager._lib
        self._open = True

    def close(self) -> None:
        """Releases the handle; later calls on it raise KavrelError."""
        if self._open:
            self._open = False
            _check(self._lib.kavrel_release(self.handle))

    def __enter__(self):  # type: ignore[no-untyped-def]
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Interface(_Handle):
    """One bus connection of the selected protocol. Settings are read and written by name: bus["IpAddress"]."""

    def __init__(self, manager: Manager, handle: int) -> None:
        super().__init__(manager, handle)
        self._devices: Dict[int, Device] = {}

    def __enter__(self) -> "Interface":
        return self

    def __setitem__(self, key: str, value: Value) -> None:
        _check(self._lib.kavrel_interface_set(self.handle, key.encode(), str(value).encode()))

    def __getitem__(self, key: str) -> str:
        return _text(self._lib.kavrel_interface_get, self.handle, key.encode())

    def _device(self, function: Callable[..., int], *args: object) -> "Device":
        handle = ctypes.c_uint32()
        _check(function(self.handle, *args, ctypes.byref(handle)))
        known = self._devices.get(handle.value)
        if known is None or not known._open:
            known = Device(self.manager, handle.value)
            self._devices[handle.value] = known
        return known

    def connect(self, unique_id: int) -> "Device":
        """Connects and identifies the drive with that bus id."""
        return self._device(self._lib.kavrel_connect, unique_id)

    def device(self, unique_id: int) -> "Device":
        """The connected device with that id."""
        return self._device(self._lib.kavrel_device_with_id, unique_id)

    @property
    def devices(self) -> List["Device"]:
        """The connected devices, those a scan connected included."""
        count = ctypes.c_int32()
        _check(self._lib.kavrel_device_count(self.handle, ctypes.byref(count)))
        return [self._device(self._lib.kavrel_device_at, n) for n in range(1, count.value + 1)]

    def start_scan(self, scan_range: Optional[str] = None) -> None:
        if scan_range is not None:
            self["ScanRange"] = scan_range
        _check(self._lib.kavrel_start_scan(self.handle))

    def stop_scan(self) -> None:
        _check(self._lib.kavrel_stop_scan(self.handle))

    def scan(self, scan_range: Optional[str] = None, timeout: float = 120.0) -> Iterator[Tuple[int, bool]]:
        """Scans and yields (id, found) for each id of the range until the scan ends."""
        self.start_scan(scan_range)
        for event in self.manager.events(timeout, source=self.handle,
                                         until=lambda e: e.kind == EventKind.SCAN_FINISHED):
            if event.kind == EventKind.SCAN_STEPPED:
                yield event.first, event.second != 0

    def guard(self, device: "Device", interval_ms: int = 0) -> None:
        """Node-guards the device; 0 takes the interface's own interval."""
        _check(self._lib.kavrel_enable_node_guard(self.handle, device.handle, interval_ms))

    def unguard(self, device: "Device") -> None:
        _check(self._lib.kavrel_disable_node_guard(self.handle, device.handle))


class Device(_Handle):
    """A connected drive."""

    def __enter__(self) -> "Device":
        return self

    def _field(self, name: str) -> str:
        return _text(self._lib.kavrel_device_text, self.handle, name.encode())

    @property
    def unique_id(self) -> int:
        value = ctypes.c_int32()
        _check(self._lib.kavrel_device_id(self.handle, ctypes.byref(value)))
        return value.value

    vendor_name = property(lambda self: self._field("vendorName"), doc="translated vendor name")
    product_code = property(lambda self: self._field("productCode"), doc="translated product code")
    version = property(lambda self: self._field("deviceVersion"))
    motor_type = property(lambda self: self._field("motorType"))
    serial_number = property(lambda self: self._field("serialNumber"))
    date = property(lambda self: self._field("deviceDate"))
    family_code = property(lambda self: self._field("familyCode"))
    original_vendor_name = property(lambda self: self._field("originalVendorName"))
    original_product_code = property(lambda self: self._field("originalProductCode"))
    last_error_text = property(lambda self: self._field("lastErrorString"))

    def read(self, size: int, index: int, subindex: int) -> int:
        """Reads parameter index.subindex of size 1, 2 or 4 bytes."""
        value = ctypes.c_int32()
        _check(self._lib.kavrel_read_parameter(self.handle, size, index, subindex, ctypes.byref(value)))
        return value.value

    def write(self, size: int, index: int, subindex: int, value: int) -> None:
        if value >= 1 << 31:
            value -= 1 << 32  # 32-bit unsigned values travel as their signed twin
        _check(self._lib.kavrel_write_parameter(self.handle, size, index, subindex, value))

    def set_ignore_errors(self, ignore: bool) -> None:
        """With errors ignored, a failed access does not disconnect the device."""
        _check(self._lib.kavrel_set_ignore_errors(self.handle, 1 if ignore else 0))

    ignore_errors = property(None, set_ignore_errors)

    def start_upload(self) -> None:
        _check(self._lib.kavrel_start_upload(self.handle))

    def stop_upload(self) -> None:
        _check(self._lib.kavrel_stop_upload(self.handle))

    @property
    def upload_data(self) -> bytes:
        """The data of the last upload."""
        function = self._lib.kavrel_upload_data
        length = ctypes.c_size_t()
        _check(function(self.handle, None, 0, ctypes.byref(length)))
        buffer = ctypes.create_string_buffer(max(length.value, 1))
        _check(function(self.handle, buffer, length.value, ctypes.byref(length)))
        return buffer.raw[:length.value]

    def upload(self, timeout: float = 60.0,
               on_packet: Optional[Callable[[int], None]] = None) -> bytes:
        """Uploads in the background and waits for the end; on_packet(n) sees each packet number."""
        self.start_upload()
        finished: Optional[Event] = None
        for event in self.manager.events(timeout, source=self.handle,
                                         until=lambda e: e.kind == EventKind.UPLOAD_FINISHED):
            if event.kind == EventKind.NEXT_PACKET and on_packet is not None:
                on_packet(event.second)
            elif event.kind == EventKind.UPLOAD_FINISHED:
                finished = event
        if finished is None:
            self.stop_upload()
            raise KavrelError(0x80004005, "upload from drive %d did not finish within %g s" % (self.unique_id, timeout))
        if finished.second != 0:
            raise KavrelError(finished.second, "upload from drive %d failed: %s"
                              % (self.unique_id, error_text(finished.second)))
        return self.upload_data
