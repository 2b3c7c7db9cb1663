#!/usr/bin/env python3
"""Serves several terminals from one thread with selectors, and keeps serving
the others while one is power-cycled or its cable is pulled.

    python3 examples/plant.py 127.0.0.1:16120 127.0.0.1:16121 [--seconds 60]

Each terminal shows its address and counts the keys pressed on it. One line is
printed per change, e.g. "127.0.0.1:16121 online", "... key 5",
"... offline: silent for 3.5 s", "... retry in 1.1 s".

- Connects never block the loop: a connect is started, its socket is waited
  on for writing like any other, and one that takes longer than
  CONNECT_LIMIT is given up.
- Liveness: every terminal is asked to report its inputs every second; three
  missed reports mean the link is gone, even when no packet says so.
- Sends never block the loop either: each terminal is in the library's queued
  send mode. A command returns at once; what the socket does not take waits
  in the library, and the terminal's socket is watched for writing only while
  something waits there. A redraw to a terminal that is behind (its queue
  full) is skipped and done once it caught up; one that reads nothing for the
  library's stall bound is dropped as "not reading".
- A lost terminal is retried after FIRST_RETRY seconds, doubling to MAX_RETRY,
  each delay varied by +-JITTER so that terminals lost together (a power cut)
  do not all come back in the same instant.
"""

import argparse
import os
import random
import selectors
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import vq6120  # noqa: E402

CONNECT_LIMIT = 2.0
FIRST_RETRY, MAX_RETRY, JITTER = 0.5, 30.0, 0.25
REPORT_TENTHS = 10                                  # an input report every 1 s
SILENCE_LIMIT = 3 * REPORT_TENTHS / 10 + 0.5        # three missed reports


def say(station, text):
    print(f"{station.name} {text}", flush=True)


class Station:
    """One terminal: waiting to retry, connecting, or online."""

    def __init__(self, target):
        self.name = target
        host, _, port = target.rpartition(":")
        self.host, self.port = host or "127.0.0.1", int(port)
        self.pending = None       # a PendingConnection while connecting
        self.terminal = None      # the Terminal while online
        self.fd = None            # what the selector watches
        self.deadline = 0.0       # when to retry, give up the connect, or call the link dead
        self.backoff = FIRST_RETRY
        self.keys = 0
        self.behind = False       # a redraw was skipped: the terminal's queue was full


class Plant:
    def __init__(self, targets):
        self.selector = selectors.DefaultSelector()
        self.stations = [Station(t) for t in targets]

    def run(self, seconds):
        end = time.monotonic() + seconds if seconds else float("inf")
        while (now := time.monotonic()) < end:
            for station in self.stations:
                if now >= station.deadline:
                    self.deadline_passed(station)
            wait = min(min(s.deadline for s in self.stations), end) - time.monotonic()
            for key, events in self.selector.select(max(wait, 0)):
                station = key.data
                if station.pending is not None:
                    self.connect_decided(station)
                    continue
                if station.terminal is not None and events & selectors.EVENT_READ:
                    self.serve(station)         # flushes as well
                elif station.terminal is not None:
                    self.flushed(station)
        for station in self.stations:
            self.drop(station)

    def deadline_passed(self, station):
        if station.pending is not None:
            self.lost(station, f"no answer within {CONNECT_LIMIT:g} s")
        elif station.terminal is not None:
            self.lost(station, f"silent for {SILENCE_LIMIT:g} s")
        else:
            self.start_connect(station)

    def start_connect(self, station):
        try:
            station.pending = vq6120.PendingConnection(station.host, station.port)
        except ConnectionError as e:
            return self.lost(station, str(e))
        self.watch(station, station.pending.fileno(), selectors.EVENT_WRITE, CONNECT_LIMIT)
        say(station, "connecting")

    def connect_decided(self, station):
        try:
            terminal = station.pending.finish()
        except ConnectionError:
            station.pending = None
            return self.lost(station, "refused")
        if terminal is None:
            return
        station.pending, station.terminal, station.backoff = None, terminal, FIRST_RETRY
        station.deadline = time.monotonic() + SILENCE_LIMIT
        self.selector.modify(station.fd, selectors.EVENT_READ, station)
        try:
            terminal.set_send_queue(vq6120.SEND_QUEUE_DEFAULT)
            terminal.set_auto_report_time(REPORT_TENTHS)
            terminal.request_model_name()
            self.show(station)
        except vq6120.ConnectionClosed as e:
            return self.lost(station, str(e))
        say(station, "online")
        self.flushed(station)

    def serve(self, station):
        """Drains everything that arrived: the socket is not signalled again
        for frames the library already holds."""
        try:
            while (event := station.terminal.poll(timeout=0)) is not None:
                station.deadline = time.monotonic() + SILENCE_LIMIT
                if isinstance(event, vq6120.Key):
                    station.keys += 1
                    say(station, f"key {event.code}")
                    self.show(station)
                elif isinstance(event, vq6120.ModelName):
                    say(station, f"model {event.name}")
                elif isinstance(event, vq6120.SerialData):
                    say(station, f"serial {event.port} {event.data!r}")
        except vq6120.ConnectionClosed:
            self.lost(station, "closed by the terminal")
        else:
            if station.terminal is not None:
                self.flushed(station)

    def show(self, station):
        """Redraws the screen in one write; skipped while the terminal is behind."""
        t = station.terminal
        try:
            with t.batch():
                t.clear_graphic_screen()
                t.draw_rectangle(0, 0, 239, 63)
                t.draw_text(8, 8, station.name[:28])
                t.draw_text(8, 32, f"keys: {station.keys}")
            station.behind = False
        except vq6120.QueueFull:
            if not station.behind:
                say(station, "behind: redraw skipped")
            station.behind = True

    def flushed(self, station):
        """Hands the socket what it takes now; watches it for writing only while
        bytes wait in the library. A terminal that reads nothing for the stall
        bound is found here (or by the next command)."""
        try:
            waiting = station.terminal.wants_write
            if not waiting and station.behind:
                self.show(station)          # caught up: the skipped redraw now
                waiting = station.terminal.wants_write
        except vq6120.NotReading:
            return self.lost(station, "not reading")
        except vq6120.ConnectionClosed:
            return self.lost(station, "closed by the terminal")
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if waiting else 0)
        if self.selector.get_key(station.fd).events != events:
            self.selector.modify(station.fd, events, station)

    def watch(self, station, fd, events, limit):
        station.fd = fd
        station.deadline = time.monotonic() + limit
        self.selector.register(fd, events, station)

    def drop(self, station):
        if station.fd is not None:
            self.selector.unregister(station.fd)
            station.fd = None
        for link in (station.pending, station.terminal):
            if link is not None:
                link.close()
        station.pending = station.terminal = None

    def lost(self, station, reason):
        self.drop(station)
        delay = station.backoff * random.uniform(1 - JITTER, 1 + JITTER)
        station.backoff = min(station.backoff * 2, MAX_RETRY)
        station.deadline = time.monotonic() + delay
        say(station, f"offline: {reason}")
        say(station, f"retry in {delay:.1f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("targets", nargs="+", metavar="HOST:PORT")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long (default: run until Ctrl-C)")
    args = parser.parse_args()
    try:
        Plant(args.targets).run(args.seconds)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
