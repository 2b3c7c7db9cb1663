"""What a terminal sends (the events poll() returns) and how a connection
fails or refuses (the exceptions)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Union


class ConnectionClosed(ConnectionError):
    """The terminal closed the connection or a read failed (a frame on an
    unknown channel is reported the same way by the library)."""


class NotReading(ConnectionClosed):
    """Queued send mode: the terminal took nothing for the library's stall
    bound while bytes waited for it, so the library ended the connection."""


class QueueFull(BlockingIOError):
    """Queued send mode: the command (or the batch) would take what waits for
    the terminal past the limit, so nothing of it was sent. The terminal is
    behind; skip this update or try again once flush() made room."""


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
