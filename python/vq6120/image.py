"""Pictures for the terminal's one-bit screen, with the standard library only.

The same arithmetic as the C++ display layer, the CLI and the gateway, so
every road draws the same pixels (tests/display/picture_vectors.txt holds
both sides to it):

`read_grey` reads PNG (every colour type and bit depth, interlaced or not,
with PLTE and tRNS) and PBM, PGM, PPM (P1..P6, up to 16-bit) as grey levels
0 (black) .. 255 (white), transparency over white; `fit` places it in a box
("screen": scaled to fill it, the aspect kept; "shrink": scaled only when too
large; "none": own size, cropped); `to_bits` turns grey into the packed rows
`Terminal.draw_bitmap` takes (dark pixels set, the most significant bit
leftmost) by a threshold, Floyd-Steinberg error diffusion or an 8 x 8 ordered
matrix. Everything read is bounded before it is trusted: at most 32 MiB of
file, 8192 pixels a side and 4 Mi pixels, judged from the header before any
pixel is decoded; a PNG's data is never inflated beyond the image's size
(what would follow is left unread).
"""

from __future__ import annotations

import struct
import zlib
from itertools import chain
from typing import Dict, List, Optional, Tuple

Grey = Tuple[int, int, List[List[int]]]   # width, height, rows of 0..255

DITHERS = ("floyd-steinberg", "ordered", "threshold")
FITS = ("screen", "shrink", "none")
MAX_SIDE = 8192
MAX_PIXELS = 4 * 1024 * 1024
MAX_FILE = 32 * 1024 * 1024
FORMATS = "not a PNG, PBM, PGM or PPM picture"

_BAYER = [[0, 32, 8, 40, 2, 34, 10, 42], [48, 16, 56, 24, 50, 18, 58, 26], [12, 44, 4, 36, 14, 46, 6, 38],
          [60, 28, 52, 20, 62, 30, 54, 22], [3, 35, 11, 43, 1, 33, 9, 41], [51, 19, 59, 27, 49, 17, 57, 25],
          [15, 47, 7, 39, 13, 45, 5, 37], [63, 31, 55, 23, 61, 29, 53, 21]]
# The ordered dither's bound per matrix cell: dark when v * 128 < bound.
_BAYER_BOUND = [[(2 * b + 1) * 255 for b in row] for row in _BAYER]

_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_PNG_DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
_PNG_CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
# Adam7 passes: first column, first row, column step, row step.
_ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
_WHITESPACE = b" \t\n\v\f\r"


class _Refused(ValueError):
    """A picture refused for a reason; read_grey adds the file's name."""


def read_grey(path: str) -> Grey:
    """The picture in `path` as grey levels; ValueError naming the file and
    the reason when it is not a picture taken here."""
    with open(path, "rb") as f:
        data = f.read(MAX_FILE + 1)
    try:
        return decode(data)
    except _Refused as e:
        raise ValueError(f"{path}: {e}") from None


def decode(data: bytes) -> Grey:
    """The picture held in `data` (the bytes of a file) as grey levels."""
    if len(data) > MAX_FILE:
        raise _Refused(f"larger than {MAX_FILE // (1024 * 1024)} MiB")
    if data.startswith(_PNG_SIGNATURE):
        return _png(data)
    if len(data) >= 2 and data[0:1] == b"P" and data[1:2] in b"123456":
        return _pnm(data)
    raise _Refused(FORMATS)


def _check_size(width: int, height: int) -> None:
    if not (1 <= width <= MAX_SIDE and 1 <= height <= MAX_SIDE) or width * height > MAX_PIXELS:
        raise _Refused(f"{width}x{height} is outside the limit of 1..{MAX_SIDE} per side "
                       f"and {MAX_PIXELS} pixels")


def _v8_table(maxval: int) -> List[int]:
    """8-bit level of each sample 0..maxval, rounded: (s * 255 + maxval / 2) / maxval."""
    half = maxval // 2
    return [(s * 255 + half) // maxval for s in range(maxval + 1)]


_TABLES: Dict[int, List[int]] = {}


def _v8(maxval: int) -> List[int]:
    table = _TABLES.get(maxval)
    if table is None:
        table = _TABLES[maxval] = _v8_table(maxval)
    return table


def _over_white(y: List[int], a: List[int]) -> List[int]:
    return [(v * al + 255 * (255 - al) + 127) // 255 for v, al in zip(y, a)]


def _luma(r: List[int], g: List[int], b: List[int]) -> List[int]:
    return [(299 * rv + 587 * gv + 114 * bv + 500) // 1000 for rv, gv, bv in zip(r, g, b)]


# --- PNG ---------------------------------------------------------------------

def _png(data: bytes) -> Grey:
    """Chunks up to the end of the first run of IDAT chunks, which holds the
    whole image: what follows (IEND, late chunks, even damage) is not read,
    as libspng does not read it. Critical chunks must be sound; a damaged or
    misplaced ancillary chunk is dropped, as libspng drops it."""
    pos, header, palette, trns, idat = 8, None, None, None, []
    while True:
        if idat and (pos + 8 > len(data) or data[pos + 4:pos + 8] != b"IDAT"):
            break   # the image data's run has ended
        if pos + 12 > len(data):
            raise _Refused("PNG truncated")
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if length > 0x7FFFFFFF or pos + 12 + length > len(data):
            raise _Refused("PNG truncated")
        body = data[pos + 8:pos + 8 + length]
        crc_ok = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0] == zlib.crc32(kind + body)
        critical = not kind[0] & 0x20
        pos += 12 + length
        if not crc_ok:
            if critical:
                raise _Refused(f"PNG {kind.decode('latin-1')!r} chunk fails its CRC")
            continue
        if header is None:
            if kind != b"IHDR" or length != 13:
                raise _Refused("PNG does not start with its header")
            header = _png_header(body)
            continue
        colour, depth = header[3], header[2]
        if kind == b"IDAT":
            if colour == 3 and palette is None:
                raise _Refused("PNG palette picture without a palette")
            idat.append(body)
        elif kind in (b"IHDR", b"IEND"):
            raise _Refused(f"PNG {kind.decode('latin-1')} before the image data")
        elif kind == b"PLTE":
            if length % 3 or not 1 <= length // 3 <= 256 or (colour == 3 and length // 3 > 1 << depth):
                raise _Refused("PNG palette of a bad length")
            palette = body if palette is None else palette
        elif kind == b"tRNS":
            wanted = {0: 2, 2: 6}.get(colour, len(palette) // 3 if colour == 3 and palette else -1)
            if trns is None and (length == wanted if colour != 3 else 0 < length <= wanted):
                trns = body   # else dropped: for grey and alpha, RGBA, before PLTE, of a bad length
        elif critical:
            raise _Refused(f"PNG with an unknown critical chunk {kind.decode('latin-1')!r}")
    return _png_pixels(header, palette, trns, b"".join(idat))


def _png_header(body: bytes) -> Tuple[int, int, int, int, int]:
    width, height, depth, colour, compression, filtering, interlace = struct.unpack(">IIBBBBB", body)
    if not (1 <= width <= 0x7FFFFFFF and 1 <= height <= 0x7FFFFFFF):
        raise _Refused(f"PNG header with a bad size {width}x{height}")
    if depth not in _PNG_DEPTHS.get(colour, ()):
        raise _Refused(f"PNG header with colour type {colour} at bit depth {depth}")
    if compression or filtering or interlace > 1:
        raise _Refused("PNG header with an unknown compression, filter or interlace method")
    _check_size(width, height)
    return width, height, depth, colour, interlace


def _png_passes(width: int, height: int, interlace: int):
    """(first column, first row, column step, row step, columns, rows) of each non-empty pass."""
    for x0, y0, dx, dy in (_ADAM7 if interlace else ((0, 0, 1, 1),)):
        w, h = (width - x0 + dx - 1) // dx, (height - y0 + dy - 1) // dy
        if w > 0 and h > 0:
            yield x0, y0, dx, dy, w, h


def _png_pixels(header, palette: Optional[bytes], trns: Optional[bytes], idat: bytes) -> Grey:
    width, height, depth, colour, interlace = header
    bits = depth * _PNG_CHANNELS[colour]
    passes = list(_png_passes(width, height, interlace))
    raw_size = sum(h * (1 + (w * bits + 7) // 8) for _, _, _, _, w, h in passes)
    try:
        # Never more than the image needs (one byte over at most): a stream
        # that would inflate further, like a decompression bomb, is cut there
        # and the rest never inflated, as libspng reads only what it needs.
        raw = zlib.decompressobj().decompress(idat, raw_size + 1)
    except zlib.error as e:
        raise _Refused(f"PNG image data is damaged ({e})") from None
    if len(raw) < raw_size:
        raise _Refused("PNG image data ends early")
    to_grey = _png_converter(depth, colour, palette, trns, width)
    rows = [[255] * width for _ in range(height)] if interlace else []
    pos, bpp = 0, max(1, bits // 8)
    for x0, y0, dx, dy, w, h in passes:
        stride = (w * bits + 7) // 8
        prior = bytes(stride)
        for r in range(h):
            line = _unfilter(raw[pos], raw[pos + 1:pos + 1 + stride], prior, bpp)
            pos += 1 + stride
            prior = line
            grey = to_grey(line, w)
            if interlace:
                rows[y0 + r * dy][x0::dx] = grey
            else:
                rows.append(grey)
    return width, height, rows


_MOD256 = bytes(range(256)) * 2


def _unfilter(kind: int, line: bytes, prior: bytes, bpp: int) -> bytes:
    if kind == 0:
        return line
    if kind == 2:
        return bytes(map(_MOD256.__getitem__, map(int.__add__, line, prior)))
    if kind > 4:
        raise _Refused(f"PNG row with an unknown filter {kind}")
    out = bytearray(line)
    n = len(out)
    if kind == 1:
        for i in range(bpp, n):
            out[i] = (out[i] + out[i - bpp]) & 255
    elif kind == 3:
        for i in range(min(bpp, n)):
            out[i] = (out[i] + (prior[i] >> 1)) & 255
        for i in range(bpp, n):
            out[i] = (out[i] + ((out[i - bpp] + prior[i]) >> 1)) & 255
    else:
        for i in range(min(bpp, n)):
            out[i] = (out[i] + prior[i]) & 255
        for i in range(bpp, n):
            a, b, c = out[i - bpp], prior[i], prior[i - bpp]
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - c - c)
            out[i] = (out[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    return bytes(out)


def _unpack_table(depth: int) -> List[Tuple[int, ...]]:
    per = 8 // depth
    mask = (1 << depth) - 1
    return [tuple((byte >> (8 - depth * (k + 1))) & mask for k in range(per)) for byte in range(256)]


_UNPACK = {d: _unpack_table(d) for d in (1, 2, 4)}


def _samples(line: bytes, count: int, depth: int):
    """The first `count` samples of a row: bytes for 8-bit, a tuple otherwise."""
    if depth == 8:
        return line[:count]
    if depth == 16:
        return struct.unpack(f">{count}H", line[:2 * count])
    return list(chain.from_iterable(map(_UNPACK[depth].__getitem__, line)))[:count]


def _png_converter(depth: int, colour: int, palette: Optional[bytes], trns: Optional[bytes], width: int):
    """A function from one unfiltered row of w pixels to its grey levels."""
    v8 = _v8((1 << depth) - 1) if depth != 8 else None
    if colour == 3:
        entries = len(palette) // 3
        alpha = list(trns or b"") + [255] * (entries - len(trns or b""))
        y = _luma(palette[0::3], palette[1::3], palette[2::3])
        table = _over_white(y, alpha)

        def convert(line, w):
            s = _samples(line, w, depth)
            if max(s) >= entries:
                raise _Refused("PNG palette index out of range")
            return [table[i] for i in s]
        return convert
    if colour == 0:
        key = struct.unpack(">H", trns)[0] if trns is not None else -1

        def convert(line, w):
            s = _samples(line, w, depth)
            grey = list(s) if v8 is None else [v8[v] for v in s]
            if key >= 0:
                grey = [255 if v == key else g for v, g in zip(s, grey)]
            return grey
        return convert
    if colour == 4:
        def convert(line, w):
            s = _samples(line, 2 * w, depth)
            if v8 is not None:
                s = [v8[v] for v in s]
            return _over_white(s[0::2], s[1::2])
        return convert
    if colour == 2:
        key = struct.unpack(">3H", trns) if trns is not None else None

        def convert(line, w):
            s = _samples(line, 3 * w, depth)
            r, g, b = s[0::3], s[1::3], s[2::3]
            y = _luma(r, g, b) if v8 is None else _luma([v8[v] for v in r], [v8[v] for v in g], [v8[v] for v in b])
            if key is not None:
                y = [255 if k == key else v for k, v in zip(zip(r, g, b), y)]
            return y
        return convert

    def convert(line, w):   # colour type 6
        s = _samples(line, 4 * w, depth)
        if v8 is not None:
            s = [v8[v] for v in s]
        return _over_white(_luma(s[0::4], s[1::4], s[2::4]), s[3::4])
    return convert


# --- PBM, PGM, PPM ------------------------------------------------------------

def _pnm_number(data: bytes, pos: int, top: int, what: str) -> Tuple[int, int]:
    """A header number at pos (after whitespace and comments); its value and the position after it."""
    seen_space = False
    while pos < len(data):
        c = data[pos]
        if c in _WHITESPACE:
            seen_space, pos = True, pos + 1
        elif c == 0x23:   # '#': a comment to the end of the line
            while pos < len(data) and data[pos] not in b"\n\r":
                pos += 1
        else:
            break
    if not seen_space:
        raise _Refused(f"PNM header: no space before the {what}")
    start, value = pos, 0
    while pos < len(data) and 0x30 <= data[pos] <= 0x39:
        value = value * 10 + data[pos] - 0x30
        pos += 1
        if value > top or pos - start > 5:   # read no further than the limit
            raise _Refused(f"PNM header: {what} larger than {top} or longer than 5 digits")
    if pos == start:
        raise _Refused(f"PNM header: no {what}" if pos >= len(data) else f"PNM header: bad {what}")
    return value, pos


def _pnm(data: bytes) -> Grey:
    magic = data[1] - 0x30
    width, pos = _pnm_number(data, 2, MAX_SIDE, "width")
    height, pos = _pnm_number(data, pos, MAX_SIDE, "height")
    _check_size(width, height)
    maxval = 1
    if magic not in (1, 4):
        maxval, pos = _pnm_number(data, pos, 65535, "maxval")
        if maxval == 0:
            raise _Refused("PNM header: maxval 0")
    if pos >= len(data) or data[pos] not in _WHITESPACE:
        raise _Refused("PNM header does not end in a space")
    channels = 3 if magic in (3, 6) else 1
    count = width * height * channels
    if magic in (1, 2, 3):
        samples = _pnm_plain(data, pos, count, magic == 1, maxval)
    else:
        samples = _pnm_binary(data, pos + 1, width, height, count, magic == 4, maxval)
    if magic in (1, 4):
        grey = [0 if s else 255 for s in samples]
    else:
        v8 = _v8(maxval)
        grey = [v8[s] for s in samples]
        if channels == 3:
            grey = _luma(grey[0::3], grey[1::3], grey[2::3])
    return width, height, [grey[y * width:(y + 1) * width] for y in range(height)]


def _pnm_plain(data: bytes, pos: int, count: int, bitmap: bool, maxval: int):
    if bitmap:   # '0' and '1', whitespace between them optional
        digits = data[pos:].translate(None, _WHITESPACE)[:count]
        if len(digits) < count:
            raise _Refused("PNM raster ends early")
        if digits.translate(None, b"01"):
            raise _Refused("PNM raster holds something other than 0 and 1")
        return [d - 0x30 for d in digits]
    words = data[pos:].split(None, count)[:count]
    if len(words) < count:
        raise _Refused("PNM raster ends early")
    last = words[-1]
    digits = len(last) - len(last.lstrip(b"0123456789"))
    if digits == 0:
        raise _Refused("PNM raster holds something other than numbers")
    words[-1] = last[:digits]   # what follows the raster is not read
    if not all(map(bytes.isdigit, words)):
        raise _Refused("PNM raster holds something other than numbers")
    if max(map(len, words)) > 5:   # as in the header: no number is longer than five digits
        raise _Refused("PNM sample longer than 5 digits")
    samples = list(map(int, words))
    if max(samples) > maxval:
        raise _Refused(f"PNM sample larger than maxval {maxval}")
    return samples


def _pnm_binary(data: bytes, pos: int, width: int, height: int, count: int, bitmap: bool, maxval: int):
    if bitmap:   # rows packed most significant bit first, each padded to a byte
        stride = (width + 7) // 8
        if len(data) - pos < stride * height:
            raise _Refused("PNM raster ends early")
        unpack = _UNPACK[1].__getitem__
        return list(chain.from_iterable(
            list(chain.from_iterable(map(unpack, data[pos + y * stride:pos + (y + 1) * stride])))[:width]
            for y in range(height)))
    size = count * (2 if maxval > 255 else 1)
    if len(data) - pos < size:
        raise _Refused("PNM raster ends early")
    raster = data[pos:pos + size]
    samples = raster if maxval < 256 else struct.unpack(f">{count}H", raster)
    if max(samples) > maxval:
        raise _Refused(f"PNM sample larger than maxval {maxval}")
    return samples


# --- Fit and dither -------------------------------------------------------------

def fit_size(width: int, height: int, box_width: int, box_height: int, mode: str = "screen") -> Tuple[int, int]:
    """The fitted picture's size in a box_width x box_height box."""
    if mode not in FITS:
        raise ValueError(f"fit={mode!r} is not one of {FITS}")
    if mode == "none":
        return min(width, box_width), min(height, box_height)
    if mode == "shrink" and width <= box_width and height <= box_height:
        return width, height
    if width * box_height <= height * box_width:
        return max(1, width * box_height // height), box_height
    return box_width, max(1, height * box_width // width)


def fit(image: Grey, box_width: int, box_height: int, mode: str = "screen") -> Grey:
    """Placed in a box_width x box_height box by `mode` (one of FITS):
    scaled by area means (nearest when enlarging), or cropped for "none"."""
    width, height, rows = image
    tw, th = fit_size(width, height, box_width, box_height, mode)
    if mode == "none" or (tw, th) == (width, height):
        return tw, th, [list(r[:tw]) for r in rows[:th]]
    columns = []
    for tx in range(tw):
        x0 = tx * width // tw
        columns.append((x0, max(x0 + 1, (tx + 1) * width // tw)))
    out = []
    for ty in range(th):
        y0 = ty * height // th
        y1 = max(y0 + 1, (ty + 1) * height // th)
        sums = rows[y0] if y1 == y0 + 1 else list(map(sum, zip(*rows[y0:y1])))
        lines = y1 - y0
        out.append([sum(sums[x0:x1]) // (lines * (x1 - x0)) for x0, x1 in columns])
    return tw, th, out


def _spread(error: int, weight: int) -> int:
    """error * weight / 16 truncated toward zero, as C divides."""
    n = error * weight
    return n // 16 if n >= 0 else -(-n // 16)


def to_bits(image: Grey, dither: str = "floyd-steinberg", threshold: int = 128) -> bytes:
    """Packed rows, (width + 7) // 8 bytes each: dark pixels set."""
    if dither not in DITHERS:
        raise ValueError(f"dither={dither!r} is not one of {DITHERS}")
    width, height, rows = image
    if dither == "threshold":
        dark = [[v < threshold for v in row] for row in rows]
    elif dither == "ordered":
        dark = [[v * 128 < bound[x % 8] for x, v in enumerate(row)]
                for bound, row in zip((_BAYER_BOUND[y % 8] for y in range(height)), rows)]
    else:
        dark = _floyd_steinberg(width, height, rows)
    pad = "0" * (-width % 8)
    stride = (width + 7) // 8
    return b"".join(int("".join("1" if d else "0" for d in row) + pad, 2).to_bytes(stride, "big") for row in dark)


def _floyd_steinberg(width: int, height: int, rows: List[List[int]]) -> List[List[bool]]:
    level = [list(r) for r in rows] + [[0] * width]   # a spare row below takes nothing that is read
    dark = []
    for y in range(height):
        here, below = level[y], level[y + 1]
        last = y + 1 == height
        row = [False] * width
        step = -1 if y % 2 else 1
        for x in (range(width - 1, -1, -1) if step < 0 else range(width)):
            v = here[x]
            if v < 128:
                row[x], error = True, v
            else:
                error = v - 255
            if error == 0:
                continue
            e7, e3, e5, e1 = _spread(error, 7), _spread(error, 3), _spread(error, 5), _spread(error, 1)
            ahead, back = x + step, x - step
            inside_ahead = 0 <= ahead < width
            if inside_ahead:
                here[ahead] += e7
            if not last:
                if 0 <= back < width:
                    below[back] += e3
                below[x] += e5
                if inside_ahead:
                    below[ahead] += e1
        dark.append(row)
    return dark
