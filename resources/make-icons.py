#!/usr/bin/env python3
"""Draws the program's icon (a chip with a download arrow) as PNG files in the sizes the
desktop icon theme asks for. Only the standard library is used; run it again after changing
the picture and commit the PNG files it writes beside itself."""

import os
import struct
import zlib

SIZES = [16, 32, 48, 64, 128, 256]
SAMPLES = 4  # per axis: 16 samples a pixel smooth the edges

BODY = (43, 52, 64)
BODY_EDGE = (24, 30, 38)
PIN = (184, 192, 200)
DOT = (120, 132, 148)
ARROW = (47, 168, 79)
ARROW_EDGE = (255, 255, 255)


def in_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    has_neg = d1 < 0 or d2 < 0 or d3 < 0
    has_pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (has_neg and has_pos)


def in_arrow(x, y, grow):
    """The download arrow on a 256-unit canvas, widened by `grow` for its outline."""
    shaft = x >= 104 - grow and x <= 152 + grow and y >= 6 - grow and y <= 92
    head = in_triangle(x, y, (62 - 1.4 * grow, 86 - grow), (194 + 1.4 * grow, 86 - grow),
                       (128, 156 + 1.6 * grow))
    return shaft or head


def colour_at(x, y):
    """Colour (r, g, b, a) of one sample point on the 256-unit canvas, back to front."""
    colour = None
    # Pins on the left, right and bottom side of the package.
    for i in range(5):
        py = 104 + i * 24
        if 20 <= x <= 52 and py <= y <= py + 12:
            colour = PIN
        if 204 <= x <= 236 and py <= y <= py + 12:
            colour = PIN
    for i in range(5):
        px = 74 + i * 24
        if px <= x <= px + 12 and 220 <= y <= 250:
            colour = PIN
    if in_round_rect(x, y, 40, 80, 216, 232, 16):
        colour = BODY_EDGE
    if in_round_rect(x, y, 46, 86, 210, 226, 12):
        colour = BODY
    if (x - 70) ** 2 + (y - 206) ** 2 <= 9 ** 2:
        colour = DOT
    if in_arrow(x, y, 7):
        colour = ARROW_EDGE
    if in_arrow(x, y, 0):
        colour = ARROW
    return (0, 0, 0, 0) if colour is None else colour + (255,)


def render(size):
    scale = 256.0 / size
    rows = []
    for py in range(size):
        row = bytearray([0])  # filter type "none"
        for px in range(size):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) * scale
                    y = (py + (sy + 0.5) / SAMPLES) * scale
                    cr, cg, cb, ca = colour_at(x, y)
                    r += cr * ca
                    g += cg * ca
                    b += cb * ca
                    a += ca
            if a:
                row += bytes([round(r / a), round(g / a), round(b / a),
                              round(a / (SAMPLES * SAMPLES))])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "icons")
    os.makedirs(folder, exist_ok=True)
    for size in SIZES:
        path = os.path.join(folder, "tervan-downloader-%d.png" % size)
        with open(path, "wb") as out:
            out.write(png(size, render(size)))
        print(path)


if __name__ == "__main__":
    main()
