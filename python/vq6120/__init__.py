"""Drive a VQ6120 operator terminal from Python through the VQ6120_LIB shared library.

    from vq6120 import Terminal, Key

    with Terminal("127.0.0.1", 16120) as t:
        if t.probe(2):
            t.draw_text(0, 0, "Hello")
            event = t.poll()

Only the standard library is used (ctypes). The shared library is found
through the VQ6120_LIB_PATH environment variable, the system's library path,
or the ``library`` argument.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import socket
import struct
from dataclasses import dataclass
from typing import Optional, Union

__all__ = [
    "Terminal", "ConnectionClosed", "DigitalInputs", "Key", "ModelName", "SerialData", "OtherFrame",
    "load_library", "RECV_CLOSED", "RECV_NOTHING", "RECV_CONSUMED", "RECV_FRAME_37", "RECV_DI_STATUS",
    "RECV_MODEL_NAME", "RECV_SERIAL_1", "RECV_SERIAL_2", "RECV_FRAME_10",
]

RECV_CLOSED, RECV_NOTHING, RECV_CONSUMED, RECV_FRAME_37, RECV_DI_STATUS = 0, 1, 2, 3, 4
RECV_MODEL_NAME, RECV_SERIAL_1, RECV_SERIAL_2, RECV_FRAME_10 = 5, 6, 7, 8
MAX_RECEIVE_FRAME = 32768
DEFAULT_PORT = 16120
BAUD_RATES = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)

_H = ctypes.c_void_p
_u8, _i16, _i32, _u16, _u32 = ctypes.c_uint8, ctypes.c_int16, ctypes.c_int32, ctypes.c_uint16, ctypes.c_uint32
_bytes = ctypes.c_char_p
_SIGNATURES = {
    "InitialVQ6120": (_H, [_u32, _u16]),
    "ExitVQ6120": (None, [_H]),
    "GetConnectStatus": (_i32, [_H, _u8]),
    "GetDllVersion": (ctypes.c_double, []),
    "SendData": (_i32, [_H, _u8, _u8, _u8, _bytes, _u32]),
    "GetDataFromEthernet": (_i32, [_H, ctypes.POINTER(_u8), ctypes.POINTER(_i32), _u8]),
    "ParseDIStatus": (_i32, [_i32, ctypes.POINTER(_u8), _i32, ctypes.POINTER(_u8), ctypes.POINTER(_u8)]),
    "ParseKeypadMessage": (_i32, [_i32, ctypes.POINTER(_u8), _i32]),
    "ClearGraphicScreen": (_i32, [_H]),
    "DrawPixel": (_i32, [_H, _i16, _i16]),
    "DrawLine": (_i32, [_H, _i16, _i16, _i16, _i16]),
    "DrawRectangle": (_i32, [_H, _i16, _i16, _i16, _i16, _u8]),
    "DrawCircle": (_i32, [_H, _i16, _i16, _i16, _u8]),
    "DrawEllipse": (_i32, [_H, _i16, _i16, _i16, _i16, _u8]),
    "DrawRhombus": (_i32, [_H, _i16, _i16, _i16, _i16]),
    "DrawAText": (_i32, [_H, _i16, _i16, _bytes, _i32]),
    "ClearText": (_i32, [_H]),
    "SetScreenCursorPos": (_i32, [_H, _i16, _i16]),
    "WriteText": (_i32, [_H, _bytes, _i32, _u8]),
    "ScrolloneLine": (_i32, [_H, _u8]),
    "ClearKeyboard": (_i32, [_H]),
    "WriteKeyboardText": (_i32, [_H, _bytes, _i32, _u8]),
    "ScrollKeyboardoneLine": (_i32, [_H, _u8]),
    "WriteDOStatus": (_i32, [_H, _u8, _u8]),
    "ReadDIStatus": (_i32, [_H]),
    "SetBeeperTime": (_i32, [_H, _u8, _u8, _u8]),
    "SetAutoReportTime": (_i32, [_H, _u8]),
    "GetModalName": (_i32, [_H]),
    "SetLED": (_i32, [_H, _u8]),
    "SetLCDBacklight": (_i32, [_H, _u8]),
    "SetHostAliveCheck": (_i32, [_H, _u8]),
    "SendHostAlive": (_i32, [_H]),
    "ConfigureCOM": (_i32, [_H, _u32, _u8, _u8, _u8, _u8, _u8, _u8]),
    "SendCOMData": (_i32, [_H, _bytes, _i32, _u8]),
}


_LIBRARY_FILES = ("VQ6120_LIB.dll",) if os.name == "nt" else ("libVQ6120_LIB.so.1", "libVQ6120_LIB.so")


def _library_files(candidate: str) -> list:
    """A directory stands for the library file in it; a file for itself."""
    if os.path.isdir(candidate):
        return [os.path.join(candidate, name) for name in _LIBRARY_FILES]
    return [candidate]


def _installed_library_dir() -> Optional[str]:
    """The library directory of the prefix this module was installed into by
    CMake (vq6120/_installed.py names it), so /opt/vq6120 needs no setting."""
    try:
        from . import _installed  # type: ignore[attr-defined]
    except ImportError:
        return None
    return os.path.normpath(os.path.join(os.path.dirname(__file__), _installed.LIBRARY_DIR))


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the shared library and declares every function's C types.
    ``path`` and VQ6120_LIB_PATH may name the library file or its directory."""
    candidates = [path, os.environ.get("VQ6120_LIB_PATH"), _installed_library_dir(),
                  ctypes.util.find_library("VQ6120_LIB"), "libVQ6120_LIB.so.1", "VQ6120_LIB.dll"]
    errors = []
    for candidate in (f for c in filter(None, candidates) for f in _library_files(c)):
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as e:
            errors.append(f"{candidate}: {e}")
    else:
        raise OSError("VQ6120_LIB not found; set VQ6120_LIB_PATH. Tried: " + "; ".join(errors))
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    return lib


class ConnectionClosed(ConnectionError):
    """The terminal closed the connection or a read failed (a frame on an
    unknown channel is reported the same way by the library)."""


@dataclass(frozen=True)
class DigitalInputs:
    status: int      # value of the first digit
    input1: int      # 0 or 1
    input2: int      # 0 or 1
    raw: bytes


@dataclass(frozen=True)
class Key:
    code: int


@dataclass(frozen=True)
class ModelName:
    name: str


@dataclass(frozen=True)
class SerialData:
    port: int        # 1 or 2
    data: bytes


@dataclass(frozen=True)
class OtherFrame:
    result: int      # the library's receive result (2, 3 or 8)
    payload: bytes


Event = Union[DigitalInputs, Key, ModelName, SerialData, OtherFrame]


def _check(name: str, value: int, lo: int, hi: int) -> int:
    """Refuses a value outside lo..hi before ctypes would silently cut it."""
    if isinstance(value, bool) or not isinstance(value, int) or not lo <= value <= hi:
        raise ValueError(f"{name}={value!r} is not in {lo}..{hi}")
    return value


def _text(name: str, text: Union[str, bytes]) -> bytes:
    data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    _check(f"len({name})", len(data), 1, 240)
    return data


def _x(name, v): return _check(name, v, 0, 239)
def _y(name, v): return _check(name, v, 0, 63)
def _size(name, v): return _check(name, v, 0, 32)
def _flag(name, v): return _check(name, v, 0, 1)
def _byte(name, v): return _check(name, v, 0, 255)


class Terminal:
    """One connection to a terminal. Use it as a context manager, or call close()."""

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT, library: Optional[str] = None):
        self._lib = load_library(library)
        _check("port", port, 1, 65535)
        address = struct.unpack("=I", socket.inet_aton(socket.gethostbyname(host)))[0]
        self._handle = self._lib.InitialVQ6120(address, port)
        if not self._handle:
            raise ConnectionError(f"cannot connect to {host}:{port}")
        self._buffer = (_u8 * MAX_RECEIVE_FRAME)()

    def __enter__(self) -> "Terminal":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        if self._handle:
            self._lib.ExitVQ6120(self._handle)
            self._handle = None

    @property
    def version(self) -> float:
        return self._lib.GetDllVersion()

    def _call(self, fn: str, *args) -> None:
        if not self._handle:
            raise ConnectionClosed("the terminal is closed")
        if getattr(self._lib, fn)(self._handle, *args) != 1:
            raise ValueError(f"{fn} refused its arguments {args!r}")

    # Connection.
    def probe(self, timeout: int = 2) -> bool:
        """True when the peer answers as a VQ6120 terminal within `timeout` seconds."""
        _check("timeout", timeout, 0, 255)
        return self._lib.GetConnectStatus(self._handle, timeout) == 1

    def poll(self, wait: bool = True) -> Optional[Event]:
        """The next event from the terminal, or None when there is none (waits up to 10 ms with wait=True)."""
        length = _i32(MAX_RECEIVE_FRAME)
        r = self._lib.GetDataFromEthernet(self._handle, self._buffer, ctypes.byref(length), 1 if wait else 0)
        if r == RECV_CLOSED:
            raise ConnectionClosed("the terminal closed the connection")
        if r == RECV_NOTHING:
            return None
        payload = bytes(self._buffer[:max(length.value, 0)]) if r >= RECV_FRAME_37 else b""
        if r == RECV_DI_STATUS:
            first, second = _u8(), _u8()
            status = self._lib.ParseDIStatus(1, self._buffer, length.value, ctypes.byref(first), ctypes.byref(second))
            if status >= 0:
                return DigitalInputs(status, first.value, second.value >> 1, payload)
        elif r == RECV_MODEL_NAME:
            return ModelName(payload.decode("latin-1"))
        elif r in (RECV_SERIAL_1, RECV_SERIAL_2):
            return SerialData(1 if r == RECV_SERIAL_1 else 2, payload)
        elif r == RECV_FRAME_37 and len(payload) == 1:
            return Key(self._lib.ParseKeypadMessage(1, self._buffer, 1))
        return OtherFrame(r, payload)

    def send_raw(self, channel: int, command: int, subcode: int = 0, data: bytes = b"") -> None:
        _byte("channel", channel), _byte("command", command), _byte("subcode", subcode)
        _check("len(data)", len(data), 0, 65527)
        self._call("SendData", channel, command, subcode, bytes(data), len(data))

    # Graphic screen.
    def clear_graphic_screen(self) -> None: self._call("ClearGraphicScreen")

    def draw_pixel(self, x: int, y: int) -> None:
        self._call("DrawPixel", _x("x", x), _y("y", y))

    def draw_line(self, x1: int, y1: int, x2: int, y2: int) -> None:
        self._call("DrawLine", _x("x1", x1), _y("y1", y1), _x("x2", x2), _y("y2", y2))

    def draw_rectangle(self, x1: int, y1: int, x2: int, y2: int, mode: int = 0) -> None:
        self._call("DrawRectangle", _x("x1", x1), _y("y1", y1), _x("x2", x2), _y("y2", y2), _flag("mode", mode))

    def draw_circle(self, x: int, y: int, size: int, mode: int = 0) -> None:
        self._call("DrawCircle", _x("x", x), _y("y", y), _size("size", size), _flag("mode", mode))

    def draw_ellipse(self, x: int, y: int, size_a: int, size_b: int, mode: int = 0) -> None:
        self._call("DrawEllipse", _x("x", x), _y("y", y), _size("size_a", size_a), _size("size_b", size_b),
                   _flag("mode", mode))

    def draw_rhombus(self, x: int, y: int, size_a: int, size_b: int) -> None:
        self._call("DrawRhombus", _x("x", x), _y("y", y), _size("size_a", size_a), _size("size_b", size_b))

    def draw_text(self, x: int, y: int, text: Union[str, bytes]) -> None:
        data = _text("text", text)
        self._call("DrawAText", _x("x", x), _y("y", y), data, len(data))

    # Text screen and keyboard display.
    def clear_text(self) -> None: self._call("ClearText")

    def set_cursor(self, x: int, y: int) -> None:
        self._call("SetScreenCursorPos", _x("x", x), _y("y", y))

    def write_text(self, text: Union[str, bytes], flag: int = 0) -> None:
        data = _text("text", text)
        self._call("WriteText", data, len(data), _flag("flag", flag))

    def scroll(self, direction: int) -> None:
        self._call("ScrolloneLine", _flag("direction", direction))

    def clear_keyboard(self) -> None: self._call("ClearKeyboard")

    def write_keyboard_text(self, text: Union[str, bytes], flag: int = 0) -> None:
        data = _text("text", text)
        self._call("WriteKeyboardText", data, len(data), _flag("flag", flag))

    def scroll_keyboard(self, direction: int) -> None:
        self._call("ScrollKeyboardoneLine", _flag("direction", direction))

    # I/O and housekeeping.
    def write_outputs(self, first: int, second: int) -> None:
        self._call("WriteDOStatus", _flag("first", first), _flag("second", second))

    def request_inputs(self) -> None: self._call("ReadDIStatus")

    def set_beeper(self, value1: int, value2: int, value3: int) -> None:
        self._call("SetBeeperTime", _byte("value1", value1), _byte("value2", value2), _byte("value3", value3))

    def set_auto_report_time(self, report_time: int) -> None:
        self._call("SetAutoReportTime", _byte("report_time", report_time))

    def request_model_name(self) -> None: self._call("GetModalName")

    def set_led(self, value: int) -> None: self._call("SetLED", _byte("value", value))

    def set_backlight(self, flag: int) -> None: self._call("SetLCDBacklight", _flag("flag", flag))

    def set_host_alive_check(self, value: int) -> None:
        self._call("SetHostAliveCheck", _byte("value", value))

    def send_host_alive(self) -> None: self._call("SendHostAlive")

    # Serial pass-through.
    def configure_com(self, port: int, baud: int, option_a: int = 0, data_bits: int = 8, stop_bits: int = 1,
                      option_b: int = 0, option_c: int = 0) -> None:
        if baud not in BAUD_RATES:
            raise ValueError(f"baud={baud!r} is not one of {BAUD_RATES}")
        self._call("ConfigureCOM", baud, _check("option_a", option_a, 0, 3), _check("data_bits", data_bits, 7, 8),
                   _check("stop_bits", stop_bits, 1, 2), _flag("option_b", option_b), _byte("option_c", option_c),
                   _check("port", port, 1, 2))

    def send_com_data(self, port: int, data: Union[str, bytes]) -> None:
        raw = data.encode("latin-1") if isinstance(data, str) else bytes(data)
        _check("len(data)", len(raw), 1, 65527)
        self._call("SendCOMData", raw, len(raw), _check("port", port, 1, 2))
