"""Pictures for the terminal's one-bit screen, with the standard library only.

`read_grey` reads PNG (8-bit grey, grey and alpha, RGB, RGBA; not
interlaced), PGM and PBM files as grey levels 0 (black) .. 255 (white);
`fit` scales by area means into a box keeping the aspect; `to_bits` turns
grey into the packed rows `Terminal.draw_bitmap` takes (dark pixels set, the
most significant bit leftmost) by a threshold, Floyd-Steinberg error
diffusion or an 8 x 8 ordered matrix.
"""

from __future__ import annotations

import struct
import zlib
from typing import List, Tuple

Grey = Tuple[int, int, List[List[int]]]   # width, height, rows of 0..255

DITHERS = ("floyd-steinberg", "ordered", "threshold")
_BAYER = [[0, 32, 8, 40, 2, 34, 10, 42], [48, 16, 56, 24, 50, 18, 58, 26], [12, 44, 4, 36, 14, 46, 6, 38],
          [60, 28, 52, 20, 62, 30, 54, 22], [3, 35, 11, 43, 1, 33, 9, 41], [51, 19, 59, 27, 49, 17, 57, 25],
          [15, 47, 7, 39, 13, 45, 5, 37], [63, 31, 55, 23, 61, 29, 53, 21]]


def read_grey(path: str) -> Grey:
    """The picture in `path`; ValueError when it is not a picture read here."""
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"\x89PNG\r\n\x1a\n"):
        return _png(data)
    if data[:2] in (b"P5", b"P4", b"P2", b"P1"):
        return _pnm(data)
    raise ValueError(f"{path}: not a PNG, PGM or PBM file")


def _png(data: bytes) -> Grey:
    pos, chunks, header = 8, [], None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            chunks.append(body)
        pos += 12 + length
    if header is None:
        raise ValueError("PNG without a header")
    width, height, depth, colour, _, _, interlace = header
    channels = {0: 1, 4: 2, 2: 3, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace != 0:
        raise ValueError("PNG: only 8-bit grey, grey+alpha, RGB or RGBA, not interlaced")
    raw = zlib.decompress(b"".join(chunks))
    stride, rows, prior = width * channels, [], bytearray(width * channels)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b, c = prior[i], prior[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prior = line
        if channels >= 3:   # luma; alpha over white
            row = [(299 * line[i] + 587 * line[i + 1] + 114 * line[i + 2]) // 1000 for i in range(0, stride, channels)]
        else:
            row = list(line[0::channels])
        if channels in (2, 4):
            alpha = line[channels - 1::channels]
            row = [(v * al + 255 * (255 - al)) // 255 for v, al in zip(row, alpha)]
        rows.append(row)
    return width, height, rows


def _pnm(data: bytes) -> Grey:
    words, pos, magic = [], 2, data[:2]
    needed = 2 if magic in (b"P4", b"P1") else 3
    while len(words) < needed:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        words.append(int(data[start:pos]))
    width, height = words[0], words[1]
    pos += 1
    if magic == b"P5":
        top = words[2]
        return width, height, [[v * 255 // top for v in data[pos + y * width:pos + (y + 1) * width]]
                               for y in range(height)]
    if magic == b"P4":
        stride = (width + 7) // 8
        return width, height, [[0 if data[pos + y * stride + x // 8] >> (7 - x % 8) & 1 else 255
                                for x in range(width)] for y in range(height)]
    values = [int(w) for w in data[pos:].split()]
    if magic == b"P2":
        return width, height, [[v * 255 // words[2] for v in values[y * width:(y + 1) * width]] for y in range(height)]
    return width, height, [[0 if v else 255 for v in values[y * width:(y + 1) * width]] for y in range(height)]


def fit(image: Grey, box_width: int, box_height: int) -> Grey:
    """Scaled into box_width x box_height, the aspect kept, by area means."""
    width, height, rows = image
    scale = min(box_width / width, box_height / height)
    w, h = max(1, int(width * scale)), max(1, int(height * scale))
    out = []
    for y in range(h):
        y0 = y * height // h
        y1 = max(y0 + 1, (y + 1) * height // h)
        row = []
        for x in range(w):
            x0 = x * width // w
            x1 = max(x0 + 1, (x + 1) * width // w)
            total = sum(sum(rows[sy][x0:x1]) for sy in range(y0, y1))
            row.append(total // ((y1 - y0) * (x1 - x0)))
        out.append(row)
    return w, h, out


def to_bits(image: Grey, dither: str = "floyd-steinberg", threshold: int = 128) -> bytes:
    """Packed rows, (width + 7) // 8 bytes each: dark pixels set."""
    if dither not in DITHERS:
        raise ValueError(f"dither={dither!r} is not one of {DITHERS}")
    width, height, rows = image
    level = [list(r) for r in rows]
    stride = (width + 7) // 8
    out = bytearray(stride * height)
    for y in range(height):
        backwards = dither == "floyd-steinberg" and y % 2 == 1
        for x in (range(width - 1, -1, -1) if backwards else range(width)):
            v = level[y][x]
            if dither == "threshold":
                dark = v < threshold
            elif dither == "ordered":
                dark = v * 128 < (2 * _BAYER[y % 8][x % 8] + 1) * 255
            else:
                dark = v < 128
                error, step = v - (0 if dark else 255), -1 if backwards else 1
                for dx, dy, weight in ((1, 0, 7), (-1, 1, 3), (0, 1, 5), (1, 1, 1)):
                    cx, cy = x + dx * step, y + dy
                    if 0 <= cx < width and cy < height:
                        level[cy][cx] += error * weight // 16
            if dark:
                out[y * stride + x // 8] |= 0x80 >> (x % 8)
    return bytes(out)
