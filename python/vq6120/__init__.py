"""Drive a VQ6120 operator terminal from Python through the VQ6120_LIB shared library.

    from vq6120 import Terminal, Key

    with Terminal("127.0.0.1", 16120) as t:
        if t.probe(2):
            t.draw_text(0, 0, "Hello")
            event = t.poll(timeout=1.0)

Many terminals on one thread: each Terminal has a fileno() for selectors and
asyncio, poll(timeout=0) drains it, PendingConnection opens one without
blocking, and set_send_queue() makes its commands return at once (wait for
writability while wants_write, then flush()). Only the standard library is used (ctypes). The shared library is found
through the VQ6120_LIB_PATH environment variable, the system's library path,
or the ``library`` argument.
"""

from __future__ import annotations

from ._library import load_library
from .constants import (BAUD_RATES, DEFAULT_PORT, MAX_RECEIVE_FRAME, RECV_CLOSED, RECV_CONSUMED, RECV_DI_STATUS,
                        RECV_FRAME_10, RECV_FRAME_37, RECV_MODEL_NAME, RECV_NOTHING, RECV_SERIAL_1, RECV_SERIAL_2,
                        SEND_QUEUE_DEFAULT, SEND_QUEUE_MIN, SEND_STALL_SECONDS)
from .events import (ConnectionClosed, DigitalInputs, Event, Key, ModelName, NotReading, OtherFrame, QueueFull,
                     SerialData)
from .pending import PendingConnection
from .terminal import Terminal

__all__ = [
    "Terminal", "PendingConnection", "ConnectionClosed", "NotReading", "QueueFull", "DigitalInputs", "Key",
    "ModelName", "SerialData", "OtherFrame",
    "load_library", "RECV_CLOSED", "RECV_NOTHING", "RECV_CONSUMED", "RECV_FRAME_37", "RECV_DI_STATUS",
    "RECV_MODEL_NAME", "RECV_SERIAL_1", "RECV_SERIAL_2", "RECV_FRAME_10", "SEND_QUEUE_MIN", "SEND_QUEUE_DEFAULT", "SEND_STALL_SECONDS",
]
