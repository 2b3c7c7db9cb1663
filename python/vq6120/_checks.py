"""Argument checks: a value out of range raises ValueError before ctypes
would silently cut it."""

from __future__ import annotations

import math
import socket
import struct
from typing import Union


def _check(name: str, value: int, lo: int, hi: int) -> int:
    """Refuses a value outside lo..hi before ctypes would silently cut it."""
    if isinstance(value, bool) or not isinstance(value, int) or not lo <= value <= hi:
        raise ValueError(f"{name}={value!r} is not in {lo}..{hi}")
    return value


def _text(name: str, text: Union[str, bytes]) -> bytes:
    data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    _check(f"len({name})", len(data), 1, 240)
    return data


def _seconds(name: str, value: float, least: str = ">=") -> float:
    if (isinstance(value, bool) or not isinstance(value, (int, float)) or math.isinf(value)
            or not (value > 0 if least == ">" else value >= 0)):
        raise ValueError(f"{name}={value!r} is not a finite number of seconds {least} 0")
    return float(value)


def _address(host: str) -> int:
    """The IPv4 address in network byte order, as the library takes it."""
    return struct.unpack("=I", socket.inet_aton(socket.gethostbyname(host)))[0]


def _x(name, v): return _check(name, v, 0, 239)
def _y(name, v): return _check(name, v, 0, 63)
def _size(name, v): return _check(name, v, 0, 32)
def _flag(name, v): return _check(name, v, 0, 1)
def _byte(name, v): return _check(name, v, 0, 255)
