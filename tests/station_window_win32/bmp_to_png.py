#!/usr/bin/env python3
"""bmp_to_png.py IN.bmp OUT.png: a 24-bit uncompressed BMP (as the Windows shot helpers write
it) as a PNG, with nothing beyond Python's own library."""
import struct
import sys
import zlib


def main():
    source, target = sys.argv[1], sys.argv[2]
    data = open(source, "rb").read()
    if data[:2] != b"BM":
        sys.exit(f"{source}: not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    if bits != 24:
        sys.exit(f"{source}: {bits} bits per pixel, only 24 is read")
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        # Bottom-up unless the height is negative.
        line = height - 1 - y if height > 0 else y
        start = offset + line * stride
        bgr = data[start:start + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(b"\x00" + bytes(rgb))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0)
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    open(target, "wb").write(png)


if __name__ == "__main__":
    main()
