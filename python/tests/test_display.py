"""Terminal.draw_bitmap and show_image against the virtual terminal: the screen shows the bits."""

import os
import struct
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.dirname(__file__))

import vq6120  # noqa: E402
from vq6120 import image  # noqa: E402
from simulator import Simulator  # noqa: E402

RAMP = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "display", "expected", "ramp.pgm")


def png(path, width, height, pixel, colour=2, filters=(0, 1, 2, 3, 4)):
    """An 8-bit PNG whose rows use each filter type in turn (the encoder's side of each filter)."""
    channels = {0: 1, 2: 3, 6: 4}[colour]
    raw, prior = b"", bytes(width * channels)
    for y in range(height):
        line = bytes(v for x in range(width) for v in pixel(x, y)[:channels])
        kind = filters[y % len(filters)]
        out = bytearray()
        for i, v in enumerate(line):
            a = line[i - channels] if i >= channels else 0
            b, c = prior[i], prior[i - channels] if i >= channels else 0
            p = a + b - c
            pred = {0: 0, 1: a, 2: b, 3: (a + b) // 2,
                    4: a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c}[kind]
            out.append((v - pred) & 255)
        raw += bytes([kind]) + bytes(out)
        prior = line

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


class DisplayTest(unittest.TestCase):
    def setUp(self):
        self.sim = Simulator()
        self.t = vq6120.Terminal(self.sim.host, self.sim.port)

    def tearDown(self):
        self.t.close()
        self.sim.close()

    def shown(self):
        self.assertTrue(self.t.probe(5))   # answered after the drawing
        return self.sim.pixels()

    def test_draw_bitmap_lights_the_set_bits(self):
        bits = bytes([0b10100000, 0, 0b11100000, 0xFF])   # 3 x 2, stride 2: the spare bytes are never pixels
        self.t.draw_bitmap(200, 60, 3, 2, bits, stride=2)
        px = self.shown()
        self.assertEqual((px[60][200:203], px[61][200:203], px[62][200:203]), ("#.#", "###", "..."))
        refused = [((236, 0, 5, 1, b"\xff"), "width"), ((0, 63, 1, 2, b"\xff\xff"), "height"),
                   ((0, 0, 9, 2, b"\xff\xff"), "too short"), ((0, 0, 9, 1, b"\xff\xff", 1), "stride")]
        for args, name in refused:
            with self.subTest(name):
                with self.assertRaisesRegex(ValueError, name):
                    self.t.draw_bitmap(*args)

    def test_show_image_reads_png_and_pgm(self):
        with tempfile.TemporaryDirectory() as d:
            for colour, dark, light in ((0, 30, 250), (2, 54, 242), (6, 54, 242)):   # grey: the first channel; luma rounded
                with self.subTest(colour=colour):
                    # Dark left half, light right half, 40 x 20: fitted three times over from (0, 4).
                    path = os.path.join(d, f"halves{colour}.png")
                    png(path, 40, 20, lambda x, y: (30, 60, 90, 255) if x < 20 else (250, 240, 230, 255), colour)
                    self.assertEqual(image.read_grey(path)[2][7][19:21], [dark, light])
                    self.t.show_image(path, 0, 4, dither="threshold", clear=True)
                    px = self.shown()
                    self.assertEqual((px[3][0], px[4][0], px[63][59], px[63][60], px[4][119], px[4][120]),
                                     (".", "#", "#", ".", ".", "."))
        self.t.show_image(RAMP, dither="ordered", clear=True)
        px = self.shown()
        lit = sum(row.count("#") for row in px)
        self.assertTrue(2500 < lit < 4000, lit)   # about half of the 128 x 64 ramp, the disc light
        with self.assertRaisesRegex(ValueError, "dither"):
            self.t.show_image(RAMP, dither="fancy")


if __name__ == "__main__":
    unittest.main()
