"""The shared picture vectors: Python draws every test picture exactly as the
C++ display layer does (tests/display/picture_vectors.txt, one line a case:
FILE FIT X Y DITHER THRESHOLD -> TWxTH SHA256 of the packed rows, or refused)."""

import functools
import hashlib
import os
import struct
import sys
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.dirname(__file__))

import vq6120  # noqa: E402
from vq6120 import image  # noqa: E402
from simulator import Simulator  # noqa: E402

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DISPLAY = os.path.join(ROOT, "tests", "display")


def vectors():
    """(line number, file, fit, x, y, dither, threshold, expected) of each case."""
    cases = []
    with open(os.path.join(DISPLAY, "picture_vectors.txt")) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            case, expected = (part.split() for part in line.split("->"))
            name, fit, x, y, dither, threshold = case
            cases.append((number, name, fit, int(x), int(y), dither, int(threshold), " ".join(expected)))
    return cases


@functools.lru_cache(maxsize=None)
def grey(name):
    try:
        return image.read_grey(os.path.join(DISPLAY, "pictures", name))
    except ValueError:
        return None


def drawn(name, fit, x, y, dither, threshold):
    """What Python makes of one case: the fitted picture and its packed rows, or None when refused."""
    if grey(name) is None:
        return None
    fitted = image.fit(grey(name), 240 - x, 64 - y, fit)
    return fitted, image.to_bits(fitted, dither, threshold)


def area(expected):
    tw, th = expected.split()[0].split("x")
    return int(tw) * int(th)


def result(picture):
    if picture is None:
        return "refused"
    (tw, th, _), bits = picture
    return f"{tw}x{th} {hashlib.sha256(bits).hexdigest()}"


have_vectors = unittest.skipUnless(os.path.exists(os.path.join(DISPLAY, "picture_vectors.txt")),
                                   "no shared picture vectors yet")


class PictureVectorsTest(unittest.TestCase):
    @have_vectors
    def test_every_vector(self):
        cases = vectors()
        self.assertGreater(len(cases), 50)
        named = {c[1] for c in cases}
        self.assertEqual(named, set(os.listdir(os.path.join(DISPLAY, "pictures"))), "every picture has a vector")
        for number, *case, expected in cases:
            with self.subTest(line=number, case=" ".join(map(str, case))):
                self.assertEqual(result(drawn(*case)), expected)

    def test_refusals_name_the_file_and_the_reason(self):
        cases = [("bad-jpeg.jpg", "not a PNG, PBM, PGM or PPM picture"), ("bad-9000x10.png", "9000x10.*8192"),
                 ("bad-3000x3000.png", "3000x3000.*4194304"), ("bad-9000x10.pgm", "width"),
                 ("bad-short-idat.png", "ends early"), ("bad-palette-index.png", "palette index out of range"),
                 ("bad-crc.png", "CRC"), ("bad-sample-over-maxval.pgm", "maxval")]
        for name, reason in cases:
            with self.subTest(name):
                with self.assertRaisesRegex(ValueError, f"^{os.path.join(DISPLAY, 'pictures', name)}: .*{reason}"):
                    image.read_grey(os.path.join(DISPLAY, "pictures", name))

    def test_chunks_libspng_drops_or_never_reads(self):
        # As libspng 0.7.3 does on the C++ side, but for the damaged last IDAT, which libspng never checks
        # when the image ends before that chunk's CRC: a bad CRC is refused.
        def chunk(kind, body, crc=None):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) if crc is None else crc)

        def png(colour, before=b"", after=chunk(b"IEND", b""), idat=None):
            channels = {0: 1, 3: 1, 6: 4}[colour]
            data = zlib.compress(bytes((1 + 3 * channels) * 2)) if idat is None else idat
            return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 3, 2, 8, colour, 0, 0, 0)) + before
                    + chunk(b"IDAT", data) + after)
        z = zlib.compress(bytes(range(8)))   # 8 bytes: too short a stream for 3 x 2 grey (the filter bytes 0..1)
        cases = [("no IEND", png(0, after=b""), True), ("damaged IEND", png(0, after=chunk(b"IEND", b"", 1)), True),
                 ("late tRNS", png(0, after=chunk(b"tRNS", b"\0\0")), True),
                 ("PLTE in grey", png(0, chunk(b"PLTE", bytes(3))), True),
                 ("tRNS in RGBA", png(6, chunk(b"tRNS", bytes(6))), True),
                 ("damaged tEXt", png(0, chunk(b"tEXt", b"a\0b", 1)), True),
                 ("ancillary chunk splits IDAT", png(0, idat=z[:6], after=chunk(b"tEXt", b"a\0b") + chunk(b"IDAT", z[6:])), False),
                 ("unknown critical chunk", png(0, chunk(b"ABCD", b"")), False),
                 ("damaged last IDAT", png(0)[:-13] + bytes([png(0)[-13] ^ 1]) + png(0)[-12:], False)]
        for name, data, taken in cases:
            with self.subTest(name):
                if taken:
                    self.assertEqual(image.decode(data)[:2], (3, 2))
                else:
                    self.assertRaises(ValueError, image.decode, data)

    @have_vectors
    def test_show_image_sends_the_vectors_bits(self):
        # A placed, scaled, Floyd-Steinberg case: the terminal's screen must hold the vector's bits there.
        case = max((c for c in vectors() if c[2] == "screen" and c[3] > 0 and c[4] > 0 and c[5] == "floyd-steinberg"
                    and c[7] != "refused"), key=lambda c: area(c[7]))
        _, name, fit, x, y, dither, threshold, expected = case
        picture = drawn(name, fit, x, y, dither, threshold)
        self.assertEqual(result(picture), expected)
        (tw, th, _), bits = picture
        stride = (tw + 7) // 8
        want = ["".join("#" if bits[r * stride + c // 8] & 0x80 >> c % 8 else "." for c in range(tw))
                for r in range(th)]
        sim = Simulator()
        try:
            with vq6120.Terminal(sim.host, sim.port) as t:
                t.show_image(os.path.join(DISPLAY, "pictures", name), x, y, dither, threshold, fit, clear=True)
                self.assertTrue(t.probe(5))
                px = sim.pixels()
        finally:
            sim.close()
        shown = [row[x:x + tw] for row in px[y:y + th]]
        apart = sum(a != b for got, exp in zip(shown, want) for a, b in zip(got, exp))
        self.assertEqual(apart, 0, f"{apart} pixels apart")
        outside = sum(row.count("#") for row in px) - sum(row.count("#") for row in shown)
        self.assertEqual(outside, 0, "lit pixels outside the picture")


if __name__ == "__main__":
    unittest.main()
