#!/usr/bin/env python3
"""Draws the lamp bitmaps of the Open/Close button and the application icon.

Run by hand after changing a picture; the files it writes are committed:
    python3 res/make_bitmaps.py
Writes res/lamp_off.bmp (bitmap 129), res/lamp_on.bmp (bitmap 130), res/tarvik.ico
(icon 128) and res/icons/tarvik-N.png, the same icon at the desktop launcher's sizes.
`python3 res/make_bitmaps.py --check` tells whether the committed files are what it draws
(a test runs it). Standard library only.

Both lamps are centred on pixel (32, 12), so the lamp stays in place when the button swaps
one bitmap for the other; only the caption area beside it changes. Neither bitmap contains
pure green RGB(0, 255, 0), the button's transparent colour, so both are drawn opaque.
"""

import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

FIELD = (240, 240, 240)
BLACK = (0, 0, 0)
RED = (255, 0, 0)
TRANSPARENT = (0, 255, 0)

LAMP_CENTRE = (32, 12)
RING_RADIUS = 7          # one-pixel ring, 15 pixels across
DISC_RADIUS_SQ = 30      # filled disc, 11 pixels across (|dx| <= 5 on the axes)
RAY_AXIS = (10, 11)      # up, down, left, right: two pixels each
RAY_DIAGONAL = (7, 8)    # the four diagonals: two pixels each


def blank(width, height, colour):
    return [[colour] * width for _ in range(height)]


def ring_points(radius):
    """A one-pixel circle (midpoint algorithm), offsets from the centre."""
    points = set()
    x, y, err = radius, 0, 1 - radius
    while x >= y:
        for px, py in ((x, y), (y, x)):
            for sx in (1, -1):
                for sy in (1, -1):
                    points.add((sx * px, sy * py))
        y += 1
        if err < 0:
            err += 2 * y + 1
        else:
            x -= 1
            err += 2 * (y - x) + 1
    return points


def draw_lamp(pixels, lit):
    cx, cy = LAMP_CENTRE
    for dx, dy in ring_points(RING_RADIUS):
        pixels[cy + dy][cx + dx] = BLACK
    for dy in range(-RING_RADIUS, RING_RADIUS + 1):
        for dx in range(-RING_RADIUS, RING_RADIUS + 1):
            if dx * dx + dy * dy <= DISC_RADIUS_SQ:
                pixels[cy + dy][cx + dx] = RED if lit else BLACK
    if lit:
        for d in RAY_AXIS:
            for dx, dy in ((0, -d), (0, d), (-d, 0), (d, 0)):
                pixels[cy + dy][cx + dx] = RED
        for d in RAY_DIAGONAL:
            for sx in (1, -1):
                for sy in (1, -1):
                    pixels[cy + sy * d][cx + sx * d] = RED


def bmp24(pixels):
    """A bottom-up 24-bit BMP, rows padded to four bytes."""
    height, width = len(pixels), len(pixels[0])
    stride = (width * 3 + 3) & ~3
    rows = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        rows += line
    header_size = 14 + 40
    file_header = struct.pack("<2sIHHI", b"BM", header_size + len(rows), 0, 0, header_size)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    return file_header + info + bytes(rows)


ICON_SIZE = 32                 # icon 128 is 32 x 32, one pixel per unit of the model
ICON_BOARD = (24, 64, 120)
ICON_EDGE = (12, 32, 64)
ICON_WHITE = (255, 255, 255)
# The launcher sizes of the desktop's hicolor icon theme. 32 is icon 128 itself.
HICOLOR_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
SAMPLES_PER_UNIT = 16          # supersampling of the smoothed sizes, per unit of the model


def icon_colour(u, v):
    """The icon as shapes in a 32-unit square: the colour at point (u, v), or None outside.

    A dark-blue board with bevelled corners and a one-unit outline, a lit lamp top left and
    an upward arrow (firmware going up) on the right. Sampled at pixel centres on a 32-pixel
    grid it gives icon 128 pixel for pixel; every other size is drawn from the same shapes.
    """
    def margin(t):  # distance inside the board along one axis
        return min(t - 2, 30 - t)

    mu, mv = margin(u), margin(v)
    if mu < 0 or mv < 0 or mu + mv < 2.5:
        return None
    # The outline is one unit wide along the sides and across the bevels alike.
    colour = ICON_BOARD if min(mu, mv) >= 1 and mu + mv >= 2.5 + math.sqrt(2) else ICON_EDGE
    lamp = (u - 10.5) ** 2 + (v - 10.5) ** 2
    if lamp <= 20.5:
        colour = RED if lamp <= 12.5 else BLACK
    shaft = 21 <= u <= 24 and 7 <= v <= 26
    head = 7 <= v <= 13 and abs(u - 22.5) <= v - 7
    if shaft or head:
        colour = ICON_WHITE
    return colour


def icon_pixels():
    """Icon 128: the shapes sampled once at each pixel centre (colour, or None outside)."""
    return [[icon_colour(x + 0.5, y + 0.5) for x in range(ICON_SIZE)]
            for y in range(ICON_SIZE)]


def icon_rgba(size):
    """The icon at SIZE x SIZE as rows of (r, g, b, a), smoothed by supersampling."""
    if size == ICON_SIZE:
        return [[(*p, 255) if p else (0, 0, 0, 0) for p in row] for row in icon_pixels()]
    scale = ICON_SIZE / size
    n = max(1, round(SAMPLES_PER_UNIT * scale))  # samples per pixel and axis
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            r = g = b = covered = 0
            for j in range(n):
                for i in range(n):
                    p = icon_colour((x + (i + 0.5) / n) * scale, (y + (j + 0.5) / n) * scale)
                    if p:
                        r, g, b, covered = r + p[0], g + p[1], b + p[2], covered + 1
            if covered:
                row.append((round(r / covered), round(g / covered), round(b / covered),
                            round(255 * covered / (n * n))))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    """A non-interlaced 8-bit RGBA PNG."""
    height, width = len(rows), len(rows[0])

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))

    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for pixel in row:
            raw += bytes(pixel)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def ico256(pixels):
    """An ICO with one 32 x 32 image of 256 colours (8-bit palette) and its AND mask."""
    size = len(pixels)
    palette = []
    for row in pixels:
        for p in row:
            if p is not None and p not in palette:
                palette.append(p)
    palette += [BLACK] * (256 - len(palette))
    xor_rows = bytearray()
    and_rows = bytearray()
    and_stride = ((size + 31) // 32) * 4
    for row in reversed(pixels):
        xor_rows += bytes(palette.index(p) if p is not None else 0 for p in row)
        bits = bytearray(and_stride)
        for x, p in enumerate(row):
            if p is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_rows += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0,
                       len(xor_rows) + len(and_rows), 0, 0, 256, 0)
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    image = info + colours + bytes(xor_rows) + bytes(and_rows)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), 6 + 16)
    return directory + entry + image


def drawn_files():
    """Every file this script draws: path below res/ -> contents."""
    files = {}
    for name, width, lit in (("lamp_off.bmp", 63, False), ("lamp_on.bmp", 47, True)):
        pixels = blank(width, 25, FIELD)
        draw_lamp(pixels, lit)
        assert all(p != TRANSPARENT for row in pixels for p in row)
        files[name] = bmp24(pixels)
    files["tarvik.ico"] = ico256(icon_pixels())
    for size in HICOLOR_SIZES:
        files[f"icons/tarvik-{size}.png"] = png(icon_rgba(size))
    return files


def png_content(data):
    """What a PNG shows: its header and its decompressed image data (the compressed bytes
    may differ between zlib versions)."""
    content, at = [], 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        content.append((kind, zlib.decompress(body) if kind == b"IDAT" else body))
        at += 12 + length
    return content


def same_picture(name, a, b):
    if name.endswith(".png"):
        try:
            return png_content(a) == png_content(b)
        except (struct.error, zlib.error):
            return False
    return a == b


def check(folder):
    """Whether the files in FOLDER are what this script draws; names the ones that are not."""
    stale = []
    for name, data in drawn_files().items():
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            stale.append(f"{name}: missing")
            continue
        with open(path, "rb") as f:
            if not same_picture(name, f.read(), data):
                stale.append(f"{name}: differs from its drawing")
    for line in stale:
        print(f"res/{line}", file=sys.stderr)
    return not stale


def main(args):
    if args == ["--check"]:
        if check(HERE):
            return 0
        print("run python3 res/make_bitmaps.py and commit what it writes", file=sys.stderr)
        return 1
    if args:
        print("usage: make_bitmaps.py [--check]", file=sys.stderr)
        return 2
    for name, data in drawn_files().items():
        path = os.path.join(HERE, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
