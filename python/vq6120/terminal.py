"""One connection to a terminal: its commands, its events and its send modes."""

from __future__ import annotations

import contextlib
import ctypes
import math
import select
import selectors
import socket
import time
from typing import Iterator, Optional, Union

from ._checks import _address, _byte, _check, _flag, _seconds, _size, _text, _x, _y
from ._library import load_library
from ._signatures import _i32, _u8
from .constants import (BAUD_RATES, DEFAULT_PORT, MAX_PAYLOAD, MAX_RECEIVE_FRAME, RECV_CLOSED, RECV_DI_STATUS,
                        RECV_FRAME_37, RECV_MODEL_NAME, RECV_NOTHING, RECV_SERIAL_1, RECV_SERIAL_2,
                        SEND_QUEUE_DEFAULT, SEND_QUEUE_MIN)
from .constants import REFUSED_CLOSED as _REFUSED_CLOSED
from .constants import REFUSED_QUEUE_FULL as _REFUSED_QUEUE_FULL
from .constants import REFUSED_STALLED as _REFUSED_STALLED
from .events import (ConnectionClosed, DigitalInputs, Event, Key, ModelName, NotReading, OtherFrame, QueueFull,
                     SerialData)


class Terminal:
    """One connection to a terminal. Use it as a context manager, or call close().

    `connect_timeout` (seconds) bounds the connect: a terminal that does not
    take the connection costs at most that long, a refused one fails at once;
    without it the connect waits as long as the system lets it (minutes for a
    silent peer). Resolving `host` is not covered by the limit. Either failure
    raises ConnectionError.

    A terminal serves one host: while another host holds it, it takes the
    connection and closes it at once. The constructor watches for that close
    for `held_check` seconds (0: not at all) and raises ConnectionClosed
    ("... is another host connected?"); the watch ends early only on a close,
    so it is what each construction costs."""

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT, library: Optional[str] = None, *,
                 connect_timeout: Optional[float] = None, held_check: float = 0.05):
        lib = load_library(library)
        _check("port", port, 1, 65535)
        held_check = _seconds("held_check", held_check)
        if connect_timeout is None:
            handle = lib.InitialVQ6120(_address(host), port)
        else:
            limit_ms = min(math.ceil(_seconds("connect_timeout", connect_timeout, ">") * 1000), 2**31 - 1)
            handle = lib.VQ6120Ex_Open(_address(host), port, limit_ms)
        if not handle:
            raise ConnectionError(f"cannot connect to {host}:{port}")
        self._attach(lib, handle)
        if held_check > 0 and self._closed_within(held_check):
            self.close()
            raise ConnectionClosed(f"{host}:{port} closed the connection at once: is another host connected?")

    def _closed_within(self, seconds: float) -> bool:
        """Whether the peer closes the connection within `seconds`; reads nothing."""
        fd = self.fileno()
        if hasattr(select, "poll"):
            waiter = select.poll()
            waiter.register(fd, select.POLLIN)
            if not waiter.poll(math.ceil(seconds * 1000)):
                return False
        elif not select.select([fd], [], [], seconds)[0]:
            return False
        peek = socket.socket(fileno=fd)   # the library's socket: looked at, never closed here
        try:
            return peek.recv(1, socket.MSG_PEEK) == b""
        except OSError:                   # reset
            return True
        finally:
            peek.detach()

    def _attach(self, lib: ctypes.CDLL, handle: int) -> None:
        self._lib, self._handle = lib, handle
        self._buffer = (_u8 * MAX_RECEIVE_FRAME)()
        self._selector: Optional[selectors.BaseSelector] = None
        self._batch_depth = 0

    @classmethod
    def _adopt(cls, lib: ctypes.CDLL, handle: int) -> "Terminal":
        terminal = cls.__new__(cls)
        terminal._attach(lib, handle)
        return terminal

    def __enter__(self) -> "Terminal":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        # A dropped terminal gives its socket back, as a dropped socket does.
        if getattr(self, "_handle", None):
            self.close()

    def close(self) -> None:
        """Closes the connection; unregister fileno() from any selector first."""
        if self._selector is not None:
            self._selector.close()
            self._selector = None
        if self._handle:
            self._lib.ExitVQ6120(self._handle)
            self._handle = None

    def fileno(self) -> int:
        """The connection's socket, for selectors, select.poll and asyncio's add_reader.

        Wait on it for reading, then call poll(timeout=0) until it returns
        None before waiting again: the library may already hold whole frames
        that the socket will not signal again (after probe(), or a burst).
        Never read, write or close the socket yourself."""
        fd = self._lib.VQ6120Ex_GetSocket(self._handle) if self._handle else -1
        if fd < 0:
            raise ConnectionClosed("the terminal is closed")
        return fd

    @contextlib.contextmanager
    def batch(self) -> Iterator["Terminal"]:
        """Collects the commands issued inside the block and sends them in one
        write when it ends, with exactly the bytes they would send one by one.

        A refused value still raises at once; commands issued before an
        exception are still sent. Nested blocks join the outermost one. When
        the collected commands cannot be sent, leaving the block raises
        ConnectionClosed. probe() inside a batch sends what was collected
        first; close() sends it before closing. In the queued send mode the
        batch is queued whole or not at all: leaving the block raises
        QueueFull when it would pass the limit (commands inside raise it too,
        from the first that did not fit)."""
        if self._batch_depth == 0:
            if not self._handle:
                raise ConnectionClosed("the terminal is closed")
            if self._lib.VQ6120Ex_BeginBatch(self._handle) != 1:
                raise RuntimeError("the library refused to start a batch")
        self._batch_depth += 1
        try:
            yield self
        finally:
            self._batch_depth -= 1
            if self._batch_depth == 0 and (not self._handle or self._lib.VQ6120Ex_EndBatch(self._handle) != 1):
                if self._handle and self._refusal() == _REFUSED_QUEUE_FULL:
                    raise QueueFull("the batch would pass the send queue's limit; nothing of it was sent")
                raise ConnectionClosed("the batched commands could not be sent")

    @property
    def version(self) -> float:
        return self._lib.GetDllVersion()

    def _call(self, fn: str, *args) -> None:
        if not self._handle:
            raise ConnectionClosed("the terminal is closed")
        if getattr(self._lib, fn)(self._handle, *args) != 1:
            reason = self._refusal()
            if reason == _REFUSED_QUEUE_FULL:
                raise QueueFull(f"{fn}: the send queue is full; nothing was sent")
            self._raise_if_over(reason)
            raise ValueError(f"{fn} refused its arguments {args!r}")

    @staticmethod
    def _raise_if_over(reason: int) -> None:
        if reason == _REFUSED_STALLED:
            raise NotReading("the terminal stopped reading: the connection was ended")
        if reason == _REFUSED_CLOSED:
            raise ConnectionClosed("the terminal closed the connection")

    def _refusal(self) -> int:
        last = getattr(self._lib, "VQ6120Ex_LastRefusal", None)
        return last(self._handle) if last is not None else 0

    # Sends that never block.
    def set_send_queue(self, limit: int = SEND_QUEUE_DEFAULT) -> None:
        """Queued send mode: every command returns at once; what the socket
        does not take now waits in the library (at most `limit` bytes,
        counting the system's send buffer, SEND_QUEUE_MIN or more). A command
        that would pass the limit raises QueueFull and sends nothing. While
        wants_write is true, wait for fileno() to be writable and call
        flush(). A terminal that takes nothing for the library's stall bound
        (5 s) while bytes wait is disconnected: the commands and flush() then
        raise NotReading, poll() ConnectionClosed. set_send_queue(0) returns to sending before
        each command returns (refused with RuntimeError while bytes wait in
        the library's queue)."""
        if limit != 0:
            _check("limit", limit, SEND_QUEUE_MIN, 2**31 - 1)
        if not self._handle:
            raise ConnectionClosed("the terminal is closed")
        if self._lib.VQ6120Ex_SetSendQueue(self._handle, limit) != 1:
            self._raise_if_over(self._refusal())
            raise RuntimeError("the send queue cannot change now (bytes or a batch wait)")

    def flush(self) -> int:
        """Hands the socket what it takes now of the queued bytes, never
        waiting, and applies the stall rule. Returns the bytes still queued
        (0: nothing left to write). Raises NotReading when the stall rule
        ended the connection, ConnectionClosed when it is over otherwise."""
        if not self._handle:
            raise ConnectionClosed("the terminal is closed")
        held = self._lib.VQ6120Ex_Flush(self._handle)
        if held < 0:
            self._raise_if_over(self._refusal())
            raise ConnectionClosed("the terminal closed the connection")
        return held

    @property
    def wants_write(self) -> bool:
        """True while queued bytes wait for the socket to take them: register
        fileno() for EVENT_WRITE then, and drop it when this turns false.
        Looking sends what the socket takes now (it is flush() > 0)."""
        return self.flush() > 0

    @property
    def waiting_bytes(self) -> int:
        """Bytes waiting for the terminal: the library's queue plus the
        system's send buffer. Compare with the limit to skip updates to a
        terminal that is behind."""
        if not self._handle:
            raise ConnectionClosed("the terminal is closed")
        return self._lib.VQ6120Ex_WaitingBytes(self._handle)

    @property
    def next_check(self):
        """Seconds the host's wait may last at most before flush() must judge
        whether the terminal still reads (0.0: now), or None when nothing
        waits for it (also outside the queued send mode and once closed).
        Take the smallest over the terminals as the selector's timeout."""
        if not self._handle:
            return None
        ms = self._lib.VQ6120Ex_NextCheck(self._handle)
        return None if ms < 0 else ms / 1000.0

    # Connection.
    def probe(self, timeout: int = 2) -> bool:
        """True when the peer answers as a VQ6120 terminal within `timeout` seconds."""
        _check("timeout", timeout, 0, 255)
        return self._lib.GetConnectStatus(self._handle, timeout) == 1

    def poll(self, wait: bool = True, *, timeout: Optional[float] = None) -> Optional[Event]:
        """The next event from the terminal, or None when none came in time.

        With `timeout` (seconds, 0 for no wait) it waits up to that long for
        an event, however many reads the event takes to arrive. Without it
        the call is the library's single poll: it waits up to 10 ms with
        wait=True (the default) and not at all with wait=False, so None only
        says that nothing arrived in that moment. Raises ConnectionClosed when
        the terminal closed the connection."""
        if timeout is None:
            if isinstance(wait, float):
                raise TypeError("poll(wait) takes True or False; give a time in seconds as timeout=")
            return self._receive(1 if wait else 0)
        deadline = time.monotonic() + _seconds("timeout", timeout)
        while (event := self._receive(0)) is None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None
            if self._selector is None:   # poll(2) or select(): no descriptor of its own per terminal
                self._selector = (selectors.PollSelector if hasattr(selectors, "PollSelector")
                                  else selectors.SelectSelector)()
                self._selector.register(self.fileno(), selectors.EVENT_READ)
            self._selector.select(min(remaining, 3600.0))   # the system's wait takes no more
        return event

    def set_keepalive(self, idle: int, interval: int = 0, count: int = 0) -> None:
        """TCP keepalive: after `idle` seconds (1..32767) without traffic, a
        probe every `interval` seconds (1..32767); `count` (1..127) unanswered
        probes close the link, which poll() then reports as ConnectionClosed.
        set_keepalive(0) turns it off."""
        if _check("idle", idle, 0, 32767):
            _check("interval", interval, 1, 32767), _check("count", count, 1, 127)
        if not self._handle:
            raise ConnectionClosed("the terminal is closed")
        if self._lib.VQ6120Ex_SetKeepAlive(self._handle, idle, interval, count) != 1:
            raise OSError("the system refused the keepalive settings")

    def _receive(self, wait: int) -> Optional[Event]:
        length = _i32(MAX_RECEIVE_FRAME)
        r = self._lib.GetDataFromEthernet(self._handle, self._buffer, ctypes.byref(length), wait)
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
        _check("len(data)", len(data), 0, MAX_PAYLOAD)
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

    # Bitmaps and pictures.
    def draw_bitmap(self, x: int, y: int, width: int, height: int, bits: bytes, stride: Optional[int] = None) -> None:
        """Lights the set bits of a width x height bitmap with its top-left at
        (x, y), in the fewest bytes of the terminal's own commands; clear bits
        leave the screen as it is. `bits` holds the rows top to bottom,
        `stride` bytes apart (default (width + 7) // 8), the most significant
        bit of each row's first byte leftmost. The bitmap must lie on the
        screen."""
        _x("x", x), _y("y", y), _check("width", width, 1, 240 - x), _check("height", height, 1, 64 - y)
        stride = (width + 7) // 8 if stride is None else _check("stride", stride, (width + 7) // 8, 32767)
        raw = bytes(bits)
        if len(raw) < stride * (height - 1) + (width + 7) // 8:
            raise ValueError(f"len(bits)={len(raw)} is too short for {height} rows of stride {stride}")
        self._call("VQ6120Ex_DrawBitmap", x, y, width, height, raw, stride)

    def show_image(self, path: str, x: int = 0, y: int = 0, dither: str = "floyd-steinberg",
                   threshold: int = 128, fit: str = "screen", clear: bool = False) -> None:
        """Shows a PNG, PBM, PGM or PPM picture from (x, y), pixel for pixel as
        the CLI and the gateway show it. `fit` places it in the box from (x, y)
        to the screen's corner: "screen" scales it to fill the box, the aspect
        kept; "shrink" scales only a picture larger than the box; "none" shows
        it at its own size, cropped. Dark pixels are lit by `dither`
        ("floyd-steinberg", "ordered" or "threshold" below `threshold`). With
        `clear` the screen is cleared first, so it shows exactly the picture;
        all in one write. A file that is not such a picture, is damaged or is
        larger than 8192 pixels a side, 4 Mi pixels or 32 MiB raises
        ValueError naming the file and the reason."""
        from . import image
        box = 240 - _x("x", x), 64 - _y("y", y)
        if fit not in image.FITS:
            raise ValueError(f"fit={fit!r} is not one of {image.FITS}")
        if dither not in image.DITHERS:
            raise ValueError(f"dither={dither!r} is not one of {image.DITHERS}")
        bits_image = image.fit(image.read_grey(path), box[0], box[1], fit)
        bits = image.to_bits(bits_image, dither, _byte("threshold", threshold))
        with self.batch():
            if clear:
                self.clear_graphic_screen()
            self.draw_bitmap(x, y, bits_image[0], bits_image[1], bits)

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
        _check("len(data)", len(raw), 1, MAX_PAYLOAD)
        self._call("SendCOMData", raw, len(raw), _check("port", port, 1, 2))
