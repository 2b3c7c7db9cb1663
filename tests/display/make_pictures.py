#!/usr/bin/env python3
"""Writes the test pictures in tests/display/pictures/ (committed; run again
only to change them). Standard library only: every PNG is built here chunk
by chunk, so each colour type, depth, filter and interlace is known exactly.

Pictures that must be taken are named after what they hold; pictures that
must be refused start with "bad-".
"""
import math
import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pictures")

CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def pack_row(pixels, depth):
    """One scanline's bytes (no filter byte): samples MSB first below 8 bits,
    big-endian at 16."""
    samples = [s for p in pixels for s in p]
    if depth == 16:
        return b"".join(struct.pack(">H", s) for s in samples)
    if depth == 8:
        return bytes(samples)
    out, acc, bits = bytearray(), 0, 0
    for s in samples:
        acc = (acc << depth) | s
        bits += depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits))
    return bytes(out)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_rows(rows, bpp, first_filter=0):
    """Each row filtered with type (first_filter + row) % 5, so every filter is
    exercised."""
    out = bytearray()
    prev = bytes(len(rows[0])) if rows else b""
    for r, row in enumerate(rows):
        kind = (first_filter + r) % 5
        line = bytearray()
        for i, x in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            pred = (0, a, b, (a + b) // 2, paeth(a, b, c))[kind]
            line.append((x - pred) & 0xFF)
        out.append(kind)
        out += line
        prev = row
    return bytes(out)


def raw_image(w, h, ctype, depth, pixel, interlace):
    bpp = max(1, CHANNELS[ctype] * depth // 8)
    if not interlace:
        rows = [pack_row([pixel(x, y) for x in range(w)], depth) for y in range(h)]
        return filter_rows(rows, bpp)
    out = b""
    for n, (x0, y0, dx, dy) in enumerate(ADAM7):
        xs, ys = range(x0, w, dx), range(y0, h, dy)
        if len(xs) == 0 or len(ys) == 0:
            continue
        rows = [pack_row([pixel(x, y) for x in xs], depth) for y in ys]
        out += filter_rows(rows, bpp, n)
    return out


def png(w, h, ctype, depth, pixel, interlace=False, plte=None, trns=None, idat=None):
    ihdr = struct.pack(">IIBBBBB", w, h, depth, ctype, 0, 0, 1 if interlace else 0)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
    # Chunks the pipeline ignores, so a decoder that applied them would differ.
    out += chunk(b"gAMA", struct.pack(">I", 100000))
    if plte is not None:
        out += chunk(b"PLTE", b"".join(bytes(c) for c in plte))
    if trns is not None:
        out += chunk(b"tRNS", trns)
    if idat is None:
        idat = zlib.compress(raw_image(w, h, ctype, depth, pixel, interlace), 9)
    # IDAT split in two chunks, as encoders do.
    half = len(idat) // 2
    out += chunk(b"IDAT", idat[:half]) + chunk(b"IDAT", idat[half:])
    return out + chunk(b"IEND", b"")


def pattern(maximum, salt=0):
    """Samples across the whole range of a depth, different per channel."""
    def sample(x, y, c=0):
        return (x * 7 + y * 13 + x * y * 3 + c * 29 + salt) % (maximum + 1)
    return sample


def wide16(x, y, c=0):
    """16-bit samples whose high and low bytes differ, so byte order shows."""
    return (x * 4111 + y * 9973 + c * 21841) & 0xFFFF


def pnm_plain(magic, w, h, maxval, rows, per_line=12):
    head = "%s\n# a comment in the header\n%d %d\n" % (magic, w, h)
    if maxval is not None:
        head += "%d\n" % maxval
    words = [str(s) for row in rows for s in row]
    body = "\n".join(" ".join(words[i:i + per_line]) for i in range(0, len(words), per_line))
    return (head + body + "\n").encode()


def pnm_binary(magic, w, h, maxval, rows):
    head = b"%s %d\t%d\n" % (magic, w, h) if maxval is None else b"%s\n%d %d #size\n%d\n" % (magic, w, h, maxval)
    if maxval is None:  # P4: bits, rows padded to a byte
        return head + b"".join(pack_row([(s,) for s in row], 1) for row in rows)
    if maxval < 256:
        return head + b"".join(bytes(row) for row in rows)
    return head + b"".join(struct.pack(">%dH" % len(row), *row) for row in rows)


def grid(w, h, f):
    return [[f(x, y) for x in range(w)] for y in range(h)]


def rgb_grid(w, h, f):
    return [[f(x, y, c) for x in range(w) for c in range(3)] for y in range(h)]


def ramp(x, y):
    return (x * 255 + 119) // 239


def radial(size):
    def level(x, y):
        d = math.isqrt((2 * x - size + 1) ** 2 + (2 * y - size + 1) ** 2)
        return min(255, d * 255 // size)
    return level


def pictures():
    p = {}
    W, H = 13, 9  # odd width: low-depth rows end mid-byte
    # PNG, every valid colour type x depth.
    for d in (1, 2, 4, 8, 16):
        f = wide16 if d == 16 else pattern((1 << d) - 1)
        p["grey%d.png" % d] = png(W, H, 0, d, lambda x, y, f=f: (f(x, y),))
    for d in (8, 16):
        f = wide16 if d == 16 else pattern(255)
        p["rgb%d.png" % d] = png(W, H, 2, d, lambda x, y, f=f: (f(x, y, 0), f(x, y, 1), f(x, y, 2)))
        p["grey-alpha%d.png" % d] = png(W, H, 4, d, lambda x, y, f=f: (f(x, y), f(x, y, 3)))
        p["rgba%d.png" % d] = png(W, H, 6, d, lambda x, y, f=f: tuple(f(x, y, c) for c in range(4)))
    for d in (1, 2, 4, 8):
        n = 1 << d
        palette = [((i * 97) % 256, (i * 53 + 20) % 256, (i * 181 + 7) % 256) for i in range(n)]
        p["palette%d.png" % d] = png(W, H, 3, d, lambda x, y, n=n: (pattern(n - 1)(x, y),), plte=palette)
    # Adam7 interlaced, including pictures smaller than a pass.
    p["grey1-interlaced.png"] = png(W, H, 0, 1, lambda x, y: (pattern(1)(x, y),), interlace=True)
    p["grey4-interlaced.png"] = png(3, 2, 0, 4, lambda x, y: (pattern(15)(x, y),), interlace=True)
    p["rgb8-interlaced.png"] = png(W, H, 2, 8, lambda x, y: tuple(pattern(255)(x, y, c) for c in range(3)),
                                   interlace=True)
    p["palette2-interlaced.png"] = png(W, H, 3, 2, lambda x, y: (pattern(3)(x, y),),
                                       plte=[(0, 0, 0), (90, 90, 90), (200, 10, 10), (255, 255, 255)], interlace=True)
    p["rgba16-interlaced.png"] = png(W, H, 6, 16, lambda x, y: tuple(wide16(x, y, c) for c in range(4)),
                                     interlace=True)
    # tRNS: grey (low depth and 16-bit, compared raw), RGB, palette with fewer
    # alpha entries than colours.
    p["grey2-trns.png"] = png(W, H, 0, 2, lambda x, y: (pattern(3)(x, y),), trns=struct.pack(">H", 1))
    p["grey8-trns.png"] = png(W, H, 0, 8, lambda x, y: ((x * 40) % 256,), trns=struct.pack(">H", 80))
    # Samples 0x1234 (transparent) and 0x12FF (not): equal high bytes.
    p["grey16-trns.png"] = png(W, H, 0, 16, lambda x, y: ((0x1234, 0x12FF, 0x0100)[(x + y) % 3],),
                               trns=struct.pack(">H", 0x1234))
    p["rgb8-trns.png"] = png(W, H, 2, 8, lambda x, y: ((x * 20) % 256, 0, (y * 30) % 256),
                             trns=struct.pack(">HHH", 40, 0, 60))
    p["rgb16-trns.png"] = png(W, H, 2, 16, lambda x, y: ((0x1000, 0x10FF)[x % 2], 0x2000, 0x3000),
                              trns=struct.pack(">HHH", 0x1000, 0x2000, 0x3000))
    p["palette4-trns.png"] = png(W, H, 3, 4, lambda x, y: (pattern(15)(x, y),),
                                 plte=[(i * 16, 255 - i * 16, i * 8) for i in range(16)],
                                 trns=bytes([0, 64, 128, 192, 255]))
    # Whole-screen and larger pictures.
    p["ramp.png"] = png(240, 64, 0, 8, lambda x, y: (ramp(x, y),))
    p["ramp.pgm"] = pnm_binary(b"P5", 240, 64, 255, grid(240, 64, ramp))
    rad = radial(120)
    p["radial.png"] = png(120, 120, 0, 8, lambda x, y: (rad(x, y),))
    p["radial.pgm"] = pnm_binary(b"P5", 120, 120, 255, grid(120, 120, rad))
    # Fit modes: smaller than the screen, very wide, very tall, twice the screen.
    p["small-5x3.png"] = png(5, 3, 2, 8, lambda x, y: ((x * 60) % 256, (y * 100) % 256, 128))
    p["wide-960x6.png"] = png(960, 6, 0, 8, lambda x, y: ((x // 4 + y * 40) % 256,))
    p["tall-4x400.png"] = png(4, 400, 0, 8, lambda x, y: ((y + x * 60) % 256,))
    p["double-480x128.png"] = png(480, 128, 0, 8, lambda x, y: (rad(x // 4, y) if y < 120 else 0,))
    # PNM, plain and binary, 8- and 16-bit.
    pw, ph = 11, 6
    bits = grid(pw, ph, lambda x, y: (x * 3 + y * 5 + x * y) % 7 % 2)
    p["plain.pbm"] = pnm_plain("P1", pw, ph, None, bits)
    p["plain.pgm"] = pnm_plain("P2", pw, ph, 15, grid(pw, ph, pattern(15)))
    p["plain.ppm"] = pnm_plain("P3", pw, ph, 1000, rgb_grid(pw, ph, pattern(1000)))
    p["binary.pbm"] = pnm_binary(b"P4", pw, ph, None, bits)
    p["binary.pgm"] = pnm_binary(b"P5", pw, ph, 200, grid(pw, ph, pattern(200)))
    p["binary16.pgm"] = pnm_binary(b"P5", pw, ph, 65535, grid(pw, ph, lambda x, y: wide16(x, y)))
    p["binary.ppm"] = pnm_binary(b"P6", pw, ph, 255, rgb_grid(pw, ph, pattern(255)))
    p["binary16.ppm"] = pnm_binary(b"P6", pw, ph, 4095, rgb_grid(pw, ph, pattern(4095)))
    # Exactly one whitespace byte ends a binary header: the second newline
    # is the first sample (10).
    p["raster-starts-with-newline.pgm"] = b"P5 2 1 255\n\n\x07"
    # A tiny file claiming 8192 x 512 (4 Mi pixels, in the limit): decoded,
    # bounded by the limit.
    p["zeros-8192x512.png"] = png(8192, 512, 0, 8, None, idat=zlib.compress(bytes(512 * 8193), 9))

    # Refused.
    good = png(W, H, 2, 8, lambda x, y: tuple(pattern(255)(x, y, c) for c in range(3)))
    p["bad-truncated.png"] = good[:len(good) * 2 // 3]
    crc_at = good.index(b"IDAT") + 4 + struct.unpack(">I", good[good.index(b"IDAT") - 4:good.index(b"IDAT")])[0]
    p["bad-crc.png"] = good[:crc_at] + bytes([good[crc_at] ^ 0x55]) + good[crc_at + 1:]
    p["bad-9000x10.png"] = png(9000, 10, 0, 1, None, idat=zlib.compress(bytes(10 * 1126), 9))
    p["bad-3000x3000.png"] = png(3000, 3000, 0, 1, None, idat=zlib.compress(bytes(3000 * 376), 9))
    p["bad-palette-index.png"] = png(W, H, 3, 4, lambda x, y: (pattern(4)(x, y),),
                                     plte=[(0, 0, 0), (80, 80, 80), (160, 160, 160), (255, 255, 255)])
    p["bad-no-palette.png"] = png(W, H, 3, 8, lambda x, y: (0,))
    p["bad-depth.png"] = png(W, H, 2, 4, None, idat=zlib.compress(bytes(H * 21), 9))
    # The IDAT stream ends before the picture does.
    p["bad-short-idat.png"] = png(W, H, 0, 8, None, idat=zlib.compress(bytes(H * (W + 1) - 5), 9))
    # A 16 x 16 picture whose IDAT inflates to 8 MiB: decoded from the first
    # bytes the picture needs, the rest never inflated.
    p["bomb-16x16.png"] = png(16, 16, 0, 8, None, idat=zlib.compress(bytes(8 << 20), 9))
    p["bad-empty.png"] = b""
    p["bad-jpeg.jpg"] = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" + bytes(64)
    p["bad-gif.gif"] = b"GIF89a\x0d\x00\x09\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff,\x00\x00\x00\x00" + bytes(32)
    p["bad-bmp.bmp"] = b"BM" + struct.pack("<IHHI", 70, 0, 0, 54) + struct.pack("<IiiHH", 40, 4, 4, 1, 24) + bytes(40)
    p["bad-psd.psd"] = b"8BPS\x00\x01" + bytes(6) + struct.pack(">HIIHH", 3, 4, 4, 8, 3) + bytes(40)
    p["bad-hdr.hdr"] = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 4\n" + bytes(64)
    p["bad-p7.pam"] = b"P7\nWIDTH 2\nHEIGHT 2\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n" + bytes(4)
    p["bad-sample-over-maxval.pgm"] = b"P5 2 2 100\n\x00\x64\x65\x00"
    p["bad-plain-over-maxval.ppm"] = b"P3 1 1 7 1 2 8\n"
    p["bad-truncated.ppm"] = pnm_binary(b"P6", pw, ph, 255, rgb_grid(pw, ph, pattern(255)))[:-3]
    p["bad-truncated16.pgm"] = pnm_binary(b"P5", 4, 4, 1000, grid(4, 4, pattern(1000)))[:-1]
    p["bad-truncated.pbm"] = b"P1 4 2 0 1 0 1 1 0 1"
    p["bad-9000x10.pgm"] = b"P5 9000 10 255\n" + bytes(16)
    p["bad-width-0.pgm"] = b"P5 0 4 255\n"
    p["bad-maxval-0.pgm"] = b"P2 1 1 0\n0\n"
    p["bad-maxval-65536.pgm"] = b"P5 1 1 65536\n\x00\x00"
    p["bad-raster-comment.pgm"] = b"P2 2 1 255\n0 # no comments here\n 255\n"
    p["bad-no-space-after-maxval.pgm"] = b"P5 1 1 255\x00\x00"
    p["bad-sign.pgm"] = b"P2 +2 1 255\n0 0\n"
    p["bad-digits.pgm"] = b"P5 00000000000000000000000000000000001 1 255\n\x00"
    return p


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in sorted(pictures().items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print("%d pictures in %s" % (len(pictures()), OUT))


if __name__ == "__main__":
    main()
