"""`vq6120 HOST image FILE`: a picture fitted to the screen and sent, against the virtual terminal."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))

from simulator import Simulator  # noqa: E402
from simulator import Lines  # noqa: E402
from test_cli import run, start  # noqa: E402

RAMP = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "display", "expected", "ramp.pgm")
PICTURES = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "display", "pictures")


class ImageTest(unittest.TestCase):
    def setUp(self):
        self.sim = Simulator()

    def tearDown(self):
        self.sim.close()

    def test_a_picture_is_fitted_thresholded_and_drawn(self):
        # 64 x 32, black to white with a white disc at (16, 16): twice its size on the screen.
        r = run(self.sim.target, "image", RAMP, "--dither", "threshold", "--clear")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("128x64 at 0,0", r.stdout)
        run("probe", self.sim.target)
        px = self.sim.pixels()
        self.assertEqual((px[0][0], px[0][60], px[0][70], px[32][32], px[10][200]), ("#", "#", ".", ".", "."))

    def test_fit_modes(self):
        small = os.path.join(PICTURES, "small-5x3.png")
        for args, size in [((), "106x64 at 0,0"), (("--fit", "shrink"), "5x3 at 0,0"),
                           (("--fit", "none", "--at", "237,62"), "3x2 at 237,62"),
                           (("--fit", "shrink", "--at", "237,62", "--wait", "5"), "3x1 at 237,62")]:
            with self.subTest(args=args):
                r = run(self.sim.target, "image", small, *args)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn(size, r.stdout)

    def test_a_bad_file_is_refused_before_connecting(self):
        # Nothing listens on port 1: a refusal (2), not a failed connect (3).
        for name, says in [("bad-jpeg.jpg", "not a PNG, PBM, PGM or PPM picture"),
                           ("bad-9000x10.png", "9000x10 is outside the limits"),
                           ("bad-truncated.png", "not a valid PNG"),
                           ("bad-sample-over-maxval.pgm", "a sample above maxval")]:
            with self.subTest(name=name):
                r = run("127.0.0.1:1", "image", os.path.join(PICTURES, name))
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(says, r.stderr)

    def test_a_terminal_held_by_another_host_is_said_so(self):
        holder = start("monitor", self.sim.target)
        self.addCleanup(lambda: (holder.kill(), holder.wait(), holder.stdout.close(), holder.stderr.close()))
        Lines(holder.stdout).get(10)  # the model's answer: the monitor holds the terminal
        r = run(self.sim.target, "image", RAMP)
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertIn("is another host connected?", r.stderr)
        self.assertEqual(r.stdout, "")

    def test_refusals_send_nothing(self):
        cases = [
            (("image", "/no/such/picture.png"), "picture.png"),
            (("image", RAMP, "--at", "240,0"), "--at 240,0"),
            (("image", RAMP, "--dither", "fancy"), "fancy"),
            (("image", RAMP, "--fit", "stretch"), "stretch"),
            (("image", RAMP, "--wait", "0"), "--wait"),
        ]
        for args, says in cases:
            with self.subTest(args=args):
                r = run(self.sim.target, *args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(says, r.stderr)
        self.assertEqual(self.sim.state("graphic screen"), "graphic screen 240x64")
        self.assertNotIn("#", "".join(self.sim.pixels()))


if __name__ == "__main__":
    unittest.main()
