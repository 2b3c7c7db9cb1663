"""`vq6120 HOST image FILE`: a picture fitted to the screen and sent, against the virtual terminal."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))

from simulator import Simulator  # noqa: E402
from test_cli import run  # noqa: E402

RAMP = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "display", "expected", "ramp.pgm")


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

    def test_refusals_send_nothing(self):
        cases = [
            (("image", "/no/such/picture.png"), "picture.png"),
            (("image", RAMP, "--at", "240,0"), "--at 240,0"),
            (("image", RAMP, "--dither", "fancy"), "fancy"),
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
