"""Loads libkavrel.so and declares the C calls of kavrel.h for ctypes."""
from __future__ import annotations

import ctypes
import os
from typing import Optional


class RawEvent(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("source", ctypes.c_uint32),
                ("first", ctypes.c_int32), ("second", ctypes.c_int32)]


_i32, _u32, _text, _size = ctypes.c_int32, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_size_t
_pi32, _pu32, _psize = ctypes.POINTER(_i32), ctypes.POINTER(_u32), ctypes.POINTER(_size)
_buf = ctypes.c_char_p

_SIGNATURES = {
    "kavrel_version": [_buf, _size],
    "kavrel_set_protocol": [_text],
    "kavrel_get_protocol": [_buf, _size],
    "kavrel_protocol_count": [_pi32],
    "kavrel_protocol_name": [_i32, _buf, _size],
    "kavrel_set_data_path": [_text],
    "kavrel_set_last_settings_path": [_text],
    "kavrel_error_text_for": [_i32, _buf, _size],
    "kavrel_create_interface": [_i32, _pu32],
    "kavrel_release": [_u32],
    "kavrel_interface_set": [_u32, _text, _text],
    "kavrel_interface_get": [_u32, _text, _buf, _size],
    "kavrel_connect": [_u32, _i32, _pu32],
    "kavrel_device_count": [_u32, _pi32],
    "kavrel_device_at": [_u32, _i32, _pu32],
    "kavrel_device_with_id": [_u32, _i32, _pu32],
    "kavrel_device_id": [_u32, _pi32],
    "kavrel_device_text": [_u32, _text, _buf, _size],
    "kavrel_read_parameter": [_u32, _i32, _i32, _i32, _pi32],
    "kavrel_write_parameter": [_u32, _i32, _i32, _i32, _i32],
    "kavrel_set_ignore_errors": [_u32, _i32],
    "kavrel_start_scan": [_u32],
    "kavrel_stop_scan": [_u32],
    "kavrel_enable_node_guard": [_u32, _u32, _i32],
    "kavrel_disable_node_guard": [_u32, _u32],
    "kavrel_start_upload": [_u32],
    "kavrel_stop_upload": [_u32],
    "kavrel_poll_event": [_i32, ctypes.POINTER(RawEvent)],
    "kavrel_last_error_code": [],
    "kavrel_last_error_text": [_buf, _size],
    "kavrel_upload_data": [_u32, ctypes.c_void_p, _size, _psize],
    "kavrel_set_settings_file_key": [_text],
    "kavrel_get_settings_file": [_buf, _size],
}


def library_path() -> str:
    """KAVREL_LIBRARY if set, else the library this package was built or installed with."""
    override = os.environ.get("KAVREL_LIBRARY")
    if override:
        return override
    try:
        from . import _location
        folder: Optional[str] = _location.LIBRARY_DIR
    except ImportError:
        folder = None
    if folder and os.path.exists(os.path.join(folder, "libkavrel.so")):
        return os.path.join(folder, "libkavrel.so")
    return "libkavrel.so.1"  # the system's library search


def load() -> ctypes.CDLL:
    lib = ctypes.CDLL(library_path())
    for name, args in _SIGNATURES.items():
        function = getattr(lib, name)
        function.argtypes = args
        function.restype = _i32
    return lib


_lib: Optional[ctypes.CDLL] = None


def lib() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        _lib = load()
    return _lib
