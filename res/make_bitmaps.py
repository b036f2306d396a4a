#!/usr/bin/env python3
"""Draws the lamp bitmaps of the Open/Close button and the application icon.

Run by hand after changing a picture; the files it writes are committed:
    python3 res/make_bitmaps.py
Writes res/lamp_off.bmp (bitmap 129), res/lamp_on.bmp (bitmap 130) and res/tarvik.ico
(icon 128). Standard library only.

Both lamps are centred on pixel (32, 12), so the lamp stays in place when the button swaps
one bitmap for the other; only the caption area beside it changes. Neither bitmap contains
pure green RGB(0, 255, 0), the button's transparent colour, so both are drawn opaque.
"""

import os
import struct

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


def icon_pixels():
    """32 x 32: a dark-blue board with a lit lamp and an upward arrow (firmware going up)."""
    size = 32
    board = (24, 64, 120)
    edge = (12, 32, 64)
    white = (255, 255, 255)
    pixels = blank(size, size, None)
    for y in range(2, 30):
        for x in range(2, 30):
            corner = min(x - 2, 29 - x) + min(y - 2, 29 - y)
            if corner >= 2:
                pixels[y][x] = board
    for y in range(size):
        for x in range(size):
            if pixels[y][x] is None:
                continue
            neighbours = [(x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)]
            if any(not (0 <= nx < size and 0 <= ny < size) or pixels[ny][nx] is None
                   for nx, ny in neighbours):
                pixels[y][x] = edge
    # The lamp, top left.
    for dy in range(-4, 5):
        for dx in range(-4, 5):
            d = dx * dx + dy * dy
            if d <= 20:
                pixels[10 + dy][10 + dx] = BLACK if d > 12 else RED
    # The arrow, right.
    for y in range(7, 26):
        for x in range(21, 24):
            pixels[y][x] = white
    for i in range(6):
        for x in range(22 - i, 23 + i):
            pixels[7 + i][x] = white
    return pixels


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


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def main():
    for name, width, lit in (("lamp_off.bmp", 63, False), ("lamp_on.bmp", 47, True)):
        pixels = blank(width, 25, FIELD)
        draw_lamp(pixels, lit)
        assert all(p != TRANSPARENT for row in pixels for p in row)
        write(name, bmp24(pixels))
    write("tarvik.ico", ico256(icon_pixels()))


if __name__ == "__main__":
    main()
