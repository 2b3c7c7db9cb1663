"""One host thread serving many terminals: fileno() in a selector, poll with a
time limit, bounded and non-blocking connects, write batches, and the plant
example riding out a terminal's restart."""

import contextlib
import os
import selectors
import socket
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import vq6120  # noqa: E402
from simulator import Lines, Simulator  # noqa: E402

PLANT = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "plant.py")


def wait_writable(pending, seconds):
    with selectors.DefaultSelector() as selector:
        selector.register(pending, selectors.EVENT_WRITE)
        return selector.select(seconds)


class HostLoopTest(unittest.TestCase):
    def test_selector_hands_each_event_to_its_own_terminal(self):
        sims = [Simulator() for _ in range(3)]
        terminals = [vq6120.Terminal(s.host, s.port) for s in sims]
        for closeable in sims + terminals:
            self.addCleanup(closeable.close)
        with selectors.DefaultSelector() as selector:
            for i, (sim, t) in enumerate(zip(sims, terminals)):
                selector.register(t, selectors.EVENT_READ, i)
                sim.command("wait connect")
                sim.command(f"key {10 + i}")
            got = {}
            while len(got) < len(terminals):
                ready = selector.select(30)
                self.assertTrue(ready, f"only {got} arrived")
                for key, _ in ready:
                    while (event := key.fileobj.poll(timeout=0)) is not None:
                        got[key.data] = event
            self.assertEqual(got, {i: vq6120.Key(10 + i) for i in range(3)})
            self.assertEqual(selector.select(0), [])   # drained: nothing stays signalled

    def test_poll_waits_for_a_late_event_and_gives_up_when_none_comes(self):
        with Simulator() as sim, vq6120.Terminal(sim.host, sim.port) as t:
            sim.command("wait connect")
            self.assertIsNone(t.poll(timeout=0.2))
            sim.command("wait 300ms")
            sim.command("key 7")
            self.assertEqual(t.poll(timeout=60), vq6120.Key(7))
            for call in [lambda: t.poll(timeout=-1), lambda: t.poll(timeout=float("nan")),
                         lambda: t.set_keepalive(10, 0, 3), lambda: t.set_keepalive(10, 5, 128),
                         lambda: vq6120.Terminal(sim.host, sim.port, connect_timeout=0)]:
                self.assertRaises(ValueError, call)
            self.assertRaises(TypeError, t.poll, 0.5)   # a time goes in timeout=

    def test_silent_terminal_costs_at_most_the_connect_limit(self):
        # A full accept queue: a further connect is neither taken nor refused.
        with socket.create_server(("127.0.0.1", 0), backlog=0) as listener, \
                socket.create_connection(listener.getsockname(), timeout=5):
            self.assertRaises(ConnectionError, vq6120.Terminal, *listener.getsockname(), connect_timeout=0.3)
            with vq6120.PendingConnection(*listener.getsockname()) as pending:
                self.assertEqual(wait_writable(pending, 0.3), [])
                self.assertIsNone(pending.finish())

    def test_refused_connect_fails_at_once(self):
        with socket.create_server(("127.0.0.1", 0)) as closed:
            port = closed.getsockname()[1]
        # A connect that waited for its limit would run into the test's time limit.
        self.assertRaises(ConnectionError, vq6120.Terminal, "127.0.0.1", port, connect_timeout=600)
        with self.assertRaises(ConnectionError), vq6120.PendingConnection("127.0.0.1", port) as pending:
            wait_writable(pending, 600)
            pending.finish()

    def test_dropped_connections_give_their_sockets_back(self):
        with socket.create_server(("127.0.0.1", 0), backlog=64) as listener:
            before = len(os.listdir("/proc/self/fd"))
            for _ in range(20):
                vq6120.Terminal(*listener.getsockname())
                vq6120.PendingConnection(*listener.getsockname())
                listener.accept()[0].close(), listener.accept()[0].close()
            self.assertEqual(len(os.listdir("/proc/self/fd")), before)


class BatchTest(unittest.TestCase):
    def connect(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        with self.listener:
            t = vq6120.Terminal(*self.listener.getsockname())
            return t, self.listener.accept()[0]

    def redraw(self, t):
        t.clear_graphic_screen()
        for x in range(0, 240, 8):
            t.draw_line(x, 0, 239 - x, 63)

    def test_batch_sends_the_same_bytes_when_it_ends(self):
        sent = []
        for batched in (False, True):
            t, peer = self.connect()
            with peer:
                with t, (t.batch() if batched else contextlib.nullcontext()):
                    self.redraw(t)
                    with t.batch():                       # joins the outer batch
                        t.set_led(1)
                    self.assertRaises(ValueError, t.draw_pixel, 240, 0)
                    if batched:
                        self.assertRaises(BlockingIOError, peer.recv, 1, socket.MSG_DONTWAIT)
                sent.append(b"".join(iter(lambda: peer.recv(65536), b"")))
        self.assertEqual(sent[0], sent[1])

    def test_failed_flush_raises(self):
        t, peer = self.connect()
        with t:
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            peer.close()                                  # a reset: the link is gone
            self.assertRaises(vq6120.ConnectionClosed, t.poll, timeout=60)
            with self.assertRaises(vq6120.ConnectionClosed), t.batch():
                self.redraw(t)


class PlantExampleTest(unittest.TestCase):
    def test_serves_the_others_while_one_restarts(self):
        a, b = Simulator(), Simulator()
        mute = socket.create_server(("127.0.0.1", 0))     # takes connections, never says a word
        self.addCleanup(mute.close)
        silent = "127.0.0.1:%d" % mute.getsockname()[1]
        plant = subprocess.Popen([sys.executable, PLANT, a.target, b.target, silent, "--seconds", "100"],
                                 stdout=subprocess.PIPE, text=True)
        lines = Lines(plant.stdout)
        self.addCleanup(lambda: (a.close(), b.close(), plant.kill(), plant.wait(), plant.stdout.close()))

        def expect(line):
            while (got := lines.get(30)) != line + "\n":
                self.assertNotEqual(got, "", f"the plant ended before printing {line!r}")

        expect(f"{a.target} online")
        expect(f"{b.target} online")
        b.close()
        expect(f"{b.target} offline: closed by the terminal")
        b = Simulator(port=b.port)
        a.command("key 3")
        expect(f"{a.target} key 3")
        expect(f"{b.target} online")
        b.command("wait connect")
        b.command("key 4")
        expect(f"{b.target} key 4")
        expect(f"{silent} offline: silent for 3.5 s")     # three input reports missed


if __name__ == "__main__":
    unittest.main()
