"""A connect that blocks no one, for hosts serving many terminals from one loop."""

from __future__ import annotations

from typing import Optional

from ._checks import _address, _check
from ._library import load_library
from .constants import DEFAULT_PORT
from .terminal import Terminal


class PendingConnection:
    """A connect under way that blocks no one: a host serving many terminals
    starts it, waits for fileno() to become writable in its own loop, then
    calls finish(). Raises ConnectionError at once when the connect cannot
    even start (e.g. no such address)."""

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT, library: Optional[str] = None):
        self._lib = load_library(library)
        _check("port", port, 1, 65535)
        self.host, self.port = host, port
        self._handle = self._lib.VQ6120Ex_StartOpen(_address(host), port)
        if not self._handle:
            raise ConnectionError(f"cannot connect to {host}:{port}")

    def fileno(self) -> int:
        """Wait on it for writing: it becomes writable when the connect is decided."""
        fd = self._lib.VQ6120Ex_GetSocket(self._handle) if self._handle else -1
        if fd < 0:
            raise ConnectionError("the connect is finished or abandoned")
        return fd

    def finish(self) -> Optional[Terminal]:
        """The connected Terminal, None while still connecting, or
        ConnectionError when the connect failed. A Terminal or a failure ends
        this object: its handle then belongs to the Terminal or is closed.
        Nothing waits here for a terminal held by another host (Terminal's
        held_check): its close comes as ConnectionClosed from the first poll."""
        if not self._handle:
            raise ConnectionError("the connect is finished or abandoned")
        state = self._lib.VQ6120Ex_FinishOpen(self._handle, 0)
        if state < 0:
            return None
        handle, self._handle = self._handle, None
        if state == 1:
            return Terminal._adopt(self._lib, handle)
        self._lib.ExitVQ6120(handle)
        raise ConnectionError(f"cannot connect to {self.host}:{self.port}")

    def close(self) -> None:
        """Abandons the connect (a no-op once finish() has decided it)."""
        if self._handle:
            self._lib.ExitVQ6120(self._handle)
            self._handle = None

    __del__ = Terminal.__del__

    def __enter__(self) -> "PendingConnection":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
