"""Runs the virtual terminal for end-to-end tests: on a free port, driven
through its operator commands on standard input, read back through its text
dump."""

import os
import queue
import subprocess
import threading
import time


def tool_env():
    """The environment for the project's own executables. A sanitizer runtime
    preloaded into Python for an instrumented library must not be loaded
    again into an executable that carries its own."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


class Lines:
    """The lines a child process prints, each fetched with a time limit.

    A reader thread and a timed wait on a queue, where select() on a buffered
    pipe would miss lines already read into the buffer."""

    def __init__(self, stream):
        self._queue = queue.Queue()
        self._reader = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._reader.start()

    def _read(self, stream):
        for line in stream:
            self._queue.put(line)
        self._queue.put("")

    def get(self, timeout):
        try:
            return self._queue.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("the process printed nothing") from None

    def join(self, timeout):
        self._reader.join(timeout)


class Simulator:
    def __init__(self, path=None, port=0):
        self.path = path or os.environ["VQ6120_SIM"]
        self.proc = subprocess.Popen([self.path, "--port", str(port)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1, env=tool_env())
        self._lines = Lines(self.proc.stdout)
        first = self._line(10)
        if not first.startswith("listening on "):
            raise RuntimeError(f"unexpected first line from the simulator: {first!r}")
        self.host, port = first.split()[-1].rsplit(":", 1)
        self.port = int(port)
        self.target = f"{self.host}:{self.port}"

    def _line(self, timeout):
        return self._lines.get(timeout)

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def dump(self):
        """The terminal's state as the text dump's lines."""
        self.command("dump")
        lines = []
        while True:
            line = self._line(10).rstrip("\n")
            lines.append(line)
            if line.startswith("serial 2 "):
                return lines

    def pixels(self):
        """The graphic screen as 64 strings of 240 '#' or '.'."""
        lines = self.dump()
        top = lines.index("graphic screen 240x64") + 2
        return [row[1:-1] for row in lines[top:top + 64]]

    def state(self, prefix):
        """The dump line that starts with `prefix`."""
        return next(line for line in self.dump() if line.startswith(prefix))

    def wait_for(self, prefix, expected, timeout=5.0):
        """Waits until the dump line for `prefix` reads `expected`."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.state(prefix)
            if line == expected or time.monotonic() > deadline:
                return line
            time.sleep(0.02)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.wait(5)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self._lines.join(5)
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
