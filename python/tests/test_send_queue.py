"""The queued send mode from Python: commands that never wait, QueueFull when
the terminal is behind, and a selectors loop that watches for writability
only while bytes wait. The terminal is a plain loopback socket that stops
reading and then reads again."""

import os
import selectors
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import vq6120  # noqa: E402


def serial_frame(port, data):
    return struct.pack("<HB3xBB", 8 + len(data), 0x5F + port, 0, 0) + data


class SendQueueTest(unittest.TestCase):
    def setUp(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.t = vq6120.Terminal("127.0.0.1", self.listener.getsockname()[1])
        self.peer, _ = self.listener.accept()
        self.peer.setblocking(False)

    def tearDown(self):
        self.t.close()
        self.peer.close()
        self.listener.close()

    def test_a_terminal_behind_refuses_whole_and_then_gets_everything_in_order(self):
        self.t.set_send_queue(vq6120.SEND_QUEUE_MIN)
        sent, full = bytearray(), 0
        for i in range(5000):
            data = bytes([i % 256]) * (1 + i * 7919 % 9000)
            try:
                self.t.send_com_data(1 + i % 2, data)
            except vq6120.QueueFull:
                full += 1
                if full == 5:
                    break
                continue
            sent += serial_frame(1 + i % 2, data)
            self.assertLessEqual(self.t.waiting_bytes, vq6120.SEND_QUEUE_MIN)
        self.assertEqual(full, 5)
        # Told apart: a bad value is still a ValueError, a full queue a
        # QueueFull, and a batch that cannot fit is refused whole.
        with self.assertRaises(ValueError):
            self.t.draw_pixel(240, 0)
        with self.assertRaises(vq6120.QueueFull):
            with self.t.batch():
                self.t.clear_graphic_screen()
                self.t.send_com_data(1, b"x" * 65527)

        # The host's loop: read interest on the peer, write interest on the
        # terminal only while wants_write.
        received = bytearray()
        with selectors.DefaultSelector() as loop:
            loop.register(self.peer, selectors.EVENT_READ)
            writing = False
            deadline = time.monotonic() + 20
            while (len(received) < len(sent) or self.t.waiting_bytes > 0) and time.monotonic() < deadline:
                wants = self.t.wants_write
                # While bytes wait, the stall rule has a time to be judged
                # by, within its bound; with none left, no wait needs to end.
                check = self.t.next_check
                if self.t.waiting_bytes > 0:
                    self.assertIsNotNone(check)
                    self.assertLessEqual(check, vq6120.SEND_STALL_SECONDS)
                if wants != writing:
                    if wants:
                        loop.register(self.t.fileno(), selectors.EVENT_WRITE)
                    else:
                        loop.unregister(self.t.fileno())
                    writing = wants
                for key, _ in loop.select(min(0.1, check) if check is not None else 0.1):
                    if key.fileobj is self.peer:
                        received += self.peer.recv(1 << 16)
        self.assertFalse(self.t.wants_write)
        self.assertEqual(bytes(received), bytes(sent))
        self.assertIsNone(self.t.next_check)
        self.t.set_send_queue(0)
        self.assertIsNone(self.t.next_check)


if __name__ == "__main__":
    unittest.main()
