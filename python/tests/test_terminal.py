"""The Python binding end to end: the real shared library against the virtual terminal."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import vq6120  # noqa: E402
from simulator import Simulator  # noqa: E402


def next_event(terminal, kind, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        event = terminal.poll()
        if isinstance(event, kind):
            return event
    raise AssertionError(f"no {kind.__name__} within {timeout} s")


class TerminalTest(unittest.TestCase):
    def setUp(self):
        self.sim = Simulator()
        self.t = vq6120.Terminal(self.sim.host, self.sim.port)
        self.sim.command("wait connect")

    def tearDown(self):
        self.t.close()
        self.sim.close()

    def test_probe_and_version(self):
        self.assertTrue(self.t.probe(5))
        self.assertEqual(self.t.version, 1.31)

    def test_filled_and_outlined_shapes(self):
        self.t.draw_rectangle(10, 5, 20, 15, mode=1)
        self.t.draw_rectangle(100, 5, 110, 15, mode=0)
        self.t.draw_line(0, 63, 239, 63)
        self.assertTrue(self.t.probe(5))  # the terminal has read everything before it
        px = self.sim.pixels()
        self.assertEqual(px[10][15], "#")     # inside the filled rectangle
        self.assertEqual(px[10][105], ".")    # inside the outline
        self.assertEqual(px[5][100], "#")     # the outline's corner
        self.assertEqual(px[63], "#" * 240)   # the bottom line, end to end

    def test_text_screen_and_keyboard_display(self):
        self.t.clear_text()
        self.t.set_cursor(12, 8)              # column 2, row 1
        self.t.write_text("Hi", flag=1)
        self.t.write_keyboard_text(b"OK")
        self.assertTrue(self.t.probe(5))
        dump = self.sim.dump()
        self.assertIn("|  Hi                                    |", dump)
        self.assertIn("|OK                  |", dump)

    def test_refused_arguments_name_the_argument(self):
        cases = [
            (lambda: self.t.draw_pixel(240, 0), "x=240"),
            (lambda: self.t.draw_line(0, 0, 0, 64), "y2=64"),
            (lambda: self.t.draw_circle(5, 5, 33), "size=33"),
            (lambda: self.t.draw_ellipse(5, 5, 3, 3, mode=2), "mode=2"),
            (lambda: self.t.write_text(""), "len(text)=0"),
            (lambda: self.t.write_text("x" * 241), "len(text)=241"),
            (lambda: self.t.write_outputs(0, 2), "second=2"),
            (lambda: self.t.set_backlight(2), "flag=2"),
            (lambda: self.t.configure_com(1, 9601), "baud=9601"),
            (lambda: self.t.configure_com(3, 9600), "port=3"),
            (lambda: self.t.send_com_data(1, b""), "len(data)=0"),
            (lambda: self.t.draw_pixel(-70000, 0), "x=-70000"),
        ]
        for call, name in cases:
            with self.subTest(name):
                with self.assertRaises(ValueError) as raised:
                    call()
                self.assertIn(name, str(raised.exception))

    def test_digital_inputs_round_trip(self):
        for a, b in [(1, 0), (0, 1), (1, 1), (0, 0)]:
            with self.subTest(inputs=(a, b)):
                self.sim.command(f"di {a} {b}")
                self.sim.wait_for("digital inputs", f"digital inputs {a} {b}")
                self.t.request_inputs()
                event = next_event(self.t, vq6120.DigitalInputs)
                self.assertEqual((event.input1, event.input2), (a, b))

    def test_outputs_led_and_backlight(self):
        self.t.write_outputs(1, 0)
        self.t.set_led(3)
        self.t.set_backlight(0)
        self.assertTrue(self.t.probe(5))
        self.assertEqual(self.sim.state("digital outputs"), "digital outputs 1 0")
        self.assertEqual(self.sim.state("led"), "led 3")
        self.assertEqual(self.sim.state("backlight"), "backlight off")

    def test_keys_model_name_and_serial_data(self):
        self.sim.command("key 5")
        self.assertEqual(next_event(self.t, vq6120.Key), vq6120.Key(5))
        self.t.request_model_name()
        self.assertTrue(next_event(self.t, vq6120.ModelName).name.startswith("VQ6120"))
        self.sim.command('serial 1 "abc\\x00d"')
        self.assertEqual(next_event(self.t, vq6120.SerialData), vq6120.SerialData(1, b"abc\x00d"))
        self.t.configure_com(2, 115200, option_a=2, data_bits=7, stop_bits=2)
        self.t.send_com_data(2, b"echo")
        self.assertEqual(next_event(self.t, vq6120.SerialData), vq6120.SerialData(2, b"echo"))

    def test_closed_terminal_raises(self):
        self.sim.close()
        with self.assertRaises(vq6120.ConnectionClosed):
            for _ in range(500):
                self.t.poll()


class ConnectTest(unittest.TestCase):
    def test_refused_connect(self):
        with Simulator() as sim:
            port = sim.port
        with self.assertRaises(ConnectionError):
            vq6120.Terminal("127.0.0.1", port)

    def test_context_manager_closes(self):
        with Simulator() as sim:
            with vq6120.Terminal(sim.host, sim.port) as t:
                self.assertTrue(t.probe(5))
            sim.wait_for("host", "host none")
            self.assertEqual(sim.state("host"), "host none")

    def test_a_terminal_held_by_another_host_raises_at_once(self):
        with Simulator() as sim, vq6120.Terminal(sim.host, sim.port) as holder:
            self.assertTrue(holder.probe(5))
            # A long watch: the close ends it, however loaded the machine.
            with self.assertRaisesRegex(vq6120.ConnectionClosed, "is another host connected"):
                vq6120.Terminal(sim.host, sim.port, held_check=10)
            self.assertTrue(holder.probe(5))


if __name__ == "__main__":
    unittest.main()
