#!/usr/bin/env python3
"""Writes tervan.ico, icon resource 128 of the Windows program: the program's picture from
../icons/tervan-downloader-32.png as one 32 x 32 image in 16 colours with a transparency mask.
Only the standard library is used; run it again after the PNG files change and commit the
.ico it writes beside itself."""

import os
import struct
import zlib

SIZE = 32
COLOURS = 16
OPAQUE = 128  # alpha from which a pixel is drawn rather than left transparent


def read_png_rgba(path):
    """The pixels of an 8-bit RGBA PNG without interlacing, as rows of (r, g, b, a)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(path + ": not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour_type, _, _, interlace = header
    if depth != 8 or colour_type != 6 or interlace != 0:
        raise ValueError(path + ": only 8-bit RGBA without interlacing is read here")
    raw = zlib.decompress(idat)
    stride, bpp = width * 4, 4
    rows, previous, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            left = line[i - bpp] if i >= bpp else 0
            up = previous[i]
            corner = previous[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[i] = (line[i] + pred) & 0xFF
        rows.append([tuple(line[x * 4:x * 4 + 4]) for x in range(width)])
        previous = line
    return rows


def distance(a, b):
    return sum((x - y) ** 2 for x, y in zip(a, b))


def palette_for(colours):
    """Black for the transparent pixels, then the 15 colours that represent the picture best:
    the most frequent ones to start with, refined by a few rounds of k-means."""
    counts = {}
    for c in colours:
        counts[c] = counts.get(c, 0) + 1
    centres = [c for c, _ in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))]
    centres = centres[:COLOURS - 1]
    for _ in range(20):
        groups = [[] for _ in centres]
        for c, n in counts.items():
            best = min(range(len(centres)), key=lambda i: distance(c, centres[i]))
            groups[best].append((c, n))
        moved = []
        for centre, members in zip(centres, groups):
            total = sum(n for _, n in members)
            if total == 0:
                moved.append(centre)
                continue
            moved.append(tuple(round(sum(c[k] * n for c, n in members) / total)
                               for k in range(3)))
        if moved == centres:
            break
        centres = moved
    palette = [(0, 0, 0)] + centres
    palette += [(0, 0, 0)] * (COLOURS - len(palette))
    return palette


def ico(rows):
    opaque = [[px[3] >= OPAQUE for px in row] for row in rows]
    palette = palette_for([px[:3] for row in rows for px in row if px[3] >= OPAQUE])

    def index_of(rgb):
        return min(range(1, COLOURS), key=lambda i: distance(rgb, palette[i]))

    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):  # bitmaps run bottom-up
        line = [index_of(rows[y][x][:3]) if opaque[y][x] else 0 for x in range(SIZE)]
        for x in range(0, SIZE, 2):
            xor.append((line[x] << 4) | line[x + 1])
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (0 if opaque[y][x] else 1)
        mask += struct.pack(">I", bits)  # 32 pixels: exactly one 4-byte row
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask),
                         0, 0, COLOURS, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    image = header + colours + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, COLOURS, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    rows = read_png_rgba(os.path.join(here, "..", "icons", "tervan-downloader-%d.png" % SIZE))
    path = os.path.join(here, "tervan.ico")
    with open(path, "wb") as out:
        out.write(ico(rows))
    print(path)


if __name__ == "__main__":
    main()
