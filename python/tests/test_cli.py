"""The vq6120 command-line tool end to end against the virtual terminal."""

import os
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))

from simulator import Lines, Simulator, tool_env  # noqa: E402

CLI = os.environ.get("VQ6120_CLI", "vq6120")


def run(*args, timeout=20):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=timeout, env=tool_env())


def start(*args):
    return subprocess.Popen([CLI, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=tool_env())


def until(condition, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up waiting for {what}")
        time.sleep(0.01)


class CliTest(unittest.TestCase):
    def setUp(self):
        self.sim = Simulator()

    def tearDown(self):
        self.sim.close()

    def ok(self, *args):
        r = run(*args)
        self.assertEqual(r.returncode, 0, f"{args}: {r.stderr}")
        return r.stdout

    def settle(self):
        # A probe on a fresh connection: the terminal has handled every
        # command of the connections before it.
        self.ok("probe", self.sim.target)

    def test_probe(self):
        self.assertIn("is a VQ6120 terminal", self.ok("probe", self.sim.target))

    def test_drawing_and_text(self):
        self.ok(self.sim.target, "draw-line", 0, 0, 239, 63)
        self.ok(self.sim.target, "draw-rect", 10, 10, 20, 20, "--mode", 1)
        self.ok(self.sim.target, "text", "Hello", "--flag", 1)
        self.settle()
        px = self.sim.pixels()
        self.assertEqual((px[0][0], px[63][239], px[15][15]), ("#", "#", "#"))
        dump = self.sim.dump()
        self.assertTrue(any(line.startswith("|Hello ") for line in dump))
        self.assertTrue(any("inverse cells 5" in line for line in dump))

    def test_settings(self):
        self.ok(self.sim.target, "led", 3)
        self.ok(self.sim.target, "do", 0, 1)
        self.ok(self.sim.target, "com-config", 2, 19200, "--option-a", 2, "--data-bits", 7)
        self.settle()
        self.assertEqual(self.sim.state("led"), "led 3")
        self.assertEqual(self.sim.state("digital outputs"), "digital outputs 0 1")
        self.assertTrue(self.sim.state("serial 2").startswith("serial 2 19200 7E1"))

    def test_requests_print_their_answers(self):
        self.sim.command("di 0 1")
        self.sim.wait_for("digital inputs", "digital inputs 0 1")
        self.assertIn("input1 0 input2 1", self.ok(self.sim.target, "di"))
        self.assertIn('"VQ6120', self.ok(self.sim.target, "model"))

    def test_monitor_prints_frames_until_the_connection_is_lost(self):
        self.sim.command("wait connect")
        self.sim.command("key 7")
        self.sim.command('serial 2 "hi"')
        self.sim.command("wait 300ms")
        self.sim.command("quit")
        r = run("monitor", self.sim.target, "--seconds", 10)
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertIn("key 7", r.stdout)
        self.assertIn('[68 69] "hi"', r.stdout)
        self.assertIn("connection closed at", r.stderr)
        for line in r.stdout.splitlines():
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} result ")

    def test_monitor_keeps_the_host_alive_when_asked(self):
        self.ok(self.sim.target, "alive-check", 2)
        self.ok("monitor", self.sim.target, "--seconds", 2, "--keep-alive", 1)
        alive = self.sim.state("host alive")
        self.assertIn(", ok,", alive)
        self.assertGreaterEqual(int(alive.split()[-1]), 1, alive)

    def test_refused_arguments_say_which_and_the_range(self):
        cases = [
            (("draw-line", 0, 0, 240, 63), "x2", "239"),
            (("draw-circle", 5, 5, 33), "size", "32"),
            (("text", "x", "--flag", 2), "--flag", "1"),
            (("com-config", 1, 9601), "baud", "9600"),
            (("com-config", 3, 9600), "port", "2"),
            (("led", 256), "value", "255"),
        ]
        for args, name, bound in cases:
            with self.subTest(args=args):
                r = run(self.sim.target, *args)
                self.assertEqual(r.returncode, 2)
                self.assertIn(name, r.stderr)
                self.assertIn(bound, r.stderr)

    def test_failed_connect_says_why(self):
        port = self.sim.port
        self.sim.close()
        r = run(f"127.0.0.1:{port}", "led", 1)
        self.assertEqual(r.returncode, 3)
        self.assertIn("cannot connect", r.stderr)
        self.assertIn("connection refused (nothing listens on that port)", r.stderr)
        # A listener whose accept queue is full leaves further connects
        # unanswered, as a host that drops them does.
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(0)
            queued = [socket.socket() for _ in range(3)]
            for q in queued:
                q.setblocking(False)
                q.connect_ex(listener.getsockname())
            r = run("127.0.0.1:%d" % listener.getsockname()[1], "led", 1, "--connect-timeout", 0.5)
            for q in queued:
                q.close()
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("timed out", r.stderr)

    def test_a_terminal_held_by_another_host_is_said_so(self):
        holder = start("monitor", self.sim.target)
        self.addCleanup(lambda: (holder.kill(), holder.wait(), holder.stdout.close(), holder.stderr.close()))
        Lines(holder.stdout).get(10)           # the model's answer: the monitor holds the terminal
        for args in [(self.sim.target, "led", 1), (self.sim.target, "di"), ("probe", self.sim.target),
                     ("monitor", self.sim.target)]:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 4, r.stderr)
                self.assertIn("is another host connected?", r.stderr)
        self.assertIsNone(holder.poll())


class InterruptTest(unittest.TestCase):
    """Ctrl-C ends the tool at once wherever it waits."""

    def test_ctrl_c_while_waiting(self):
        listener = socket.create_server(("127.0.0.1", 0))     # takes connections, never answers
        self.addCleanup(listener.close)
        target = "127.0.0.1:%d" % listener.getsockname()[1]
        for args in [(target, "di", "--wait", 60), ("probe", target, "--timeout", 60), ("monitor", target),
                     (target, "led", 1, "--wait", 60)]:
            with self.subTest(args=args):
                cli = start(*args)
                peer = listener.accept()[0]
                peer.settimeout(10)
                self.assertTrue(peer.recv(64))               # its request is out: it waits for the answer
                self.interrupt(cli)
                peer.close()

    def test_ctrl_c_while_connecting(self):
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(0)
            queued = [socket.socket() for _ in range(3)]     # a full queue: further connects go unanswered
            for q in queued:
                q.setblocking(False)
                q.connect_ex(listener.getsockname())
            cli = start("--connect-timeout", 60, "127.0.0.1:%d" % listener.getsockname()[1], "led", 1)
            fds = f"/proc/{cli.pid}/fd"
            until(lambda: any(os.readlink(f"{fds}/{fd}").startswith("socket:") for fd in os.listdir(fds)),
                  "the tool's connect")
            self.interrupt(cli)
            for q in queued:
                q.close()

    def interrupt(self, cli):
        cli.send_signal(signal.SIGINT)
        try:
            out, err = cli.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            cli.kill()
            cli.communicate()
            raise AssertionError("Ctrl-C did not end the tool") from None
        self.assertEqual(cli.returncode, 130, err)
        self.assertEqual(err, "vq6120: interrupted\n")


class HelpTest(unittest.TestCase):
    def test_mistakes_and_help_are_said_plainly(self):
        cases = [
            (("draw-pixel", "--help"), 0, "Usage: vq6120 HOST[:PORT] draw-pixel"),
            (("draw-pixel", "127.0.0.1", 1, 2), 2, "'127.0.0.1' looks like the terminal: it goes before"),
            (("127.0.0.1", "bogus"), 2, "unknown operation 'bogus'"),
            (("::1", "probe"), 2, "IPv6 is not supported"),
            (("--version",), 0, "vq6120 1."),
            (("com-config", "--help"), 0, "(7..8, default 8)"),
            (("auto-report", "--help"), 0, "0..255 x 100 ms"),
            (("alive-check", "--help"), 0, "0..255 seconds"),
            (("beep", "--help"), 0, "0..255 x 10 ms"),
            (("probe", "--help"), 0, "default 2"),
        ]
        for args, code, says in cases:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(says, r.stdout + r.stderr)
                # Each range once: the table's, not the parser's as well.
                self.assertNotIn(" in [", r.stdout)

    def test_bad_input_is_refused_with_a_reason_and_a_status(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed_port = s.getsockname()[1]                  # nothing listens once it is closed
        cases = [
            # wrong addresses
            (("1.2.3.4.5", "led", 1), 2, "cannot resolve '1.2.3.4.5'"),
            (("127.0.0.1:0", "led", 1), 2, "port '0' is not in 1..65535"),
            (("127.0.0.1:99999", "led", 1), 2, "port '99999' is not in 1..65535"),
            (("[::1]:16120", "led", 1), 2, "IPv6 is not supported"),
            (("led", 1), 2, "no terminal given"),
            # bad values and ranges
            (("127.0.0.1", "led", "on"), 2, "value: 'on' is not a whole number (0..255)"),
            (("127.0.0.1", "led", 256), 2, "value: 256 is not in 0..255"),
            (("127.0.0.1", "draw-pixel", -1, 0), 2, "x: -1 is not in 0..239"),
            (("127.0.0.1", "text", ""), 2, "text: length 0 is not in 1..240 bytes"),
            (("127.0.0.1", "di", "--wait", 0), 2, "--wait: 0 is not in 1..60"),
            (("probe", "127.0.0.1", "--timeout", 256), 2, "--timeout: 256 is not in 0..255"),
            (("monitor", "127.0.0.1", "--keep-alive", 0), 2, "--keep-alive: 0 is not in 1..3600"),
            (("--connect-timeout", "soon", "127.0.0.1", "led", 1), 2, "'soon' is not a number of seconds"),
            (("127.0.0.1", "led"), 2, "value is required"),
            (("127.0.0.1", "led", 1, 2), 2, "not expected: 2"),
            # unknown operations and options
            (("127.0.0.1", "blink"), 2, "unknown operation 'blink'"),
            (("--blink",), 2, "unknown option '--blink'"),
            # nothing listening
            ((f"127.0.0.1:{closed_port}", "led", 1), 3, "connection refused (nothing listens on that port)"),
        ]
        for args, code, says in cases:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(says, r.stderr)
                self.assertEqual(r.stdout, "")
                for line in r.stderr.splitlines():
                    self.assertTrue(line.startswith("vq6120: "), line)

    def test_help_lists_the_exit_statuses(self):
        text = run("--help").stdout
        self.assertIn("Exit status:", text)
        for status in ("0 done", "2 a refused argument", "3 cannot connect", "4 the connection", "5 no answer",
                       "130 interrupted"):
            self.assertIn(status, " ".join(text.split()))

    def test_every_subcommand_has_help(self):
        top = run("--help")
        self.assertEqual(top.returncode, 0)
        names = [line.split()[0] for line in top.stdout.split("Subcommands:")[1].splitlines() if line.strip()]
        self.assertGreater(len(names), 25)
        for name in names:
            with self.subTest(name):
                r = run(name, "--help")
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("Usage", r.stdout)


if __name__ == "__main__":
    unittest.main()
