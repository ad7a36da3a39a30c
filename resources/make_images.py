#!/usr/bin/env python3
"""Draws the window's images and the Windows icon.

Writes the eight 48 x 48 PNGs under images/ (RGBA, 8 bits per channel, not
interlaced, with an sRGB chunk) and windows/QuendelWriteCard.ico (one
256 x 256 32-bit image). Standard library only; the output is deterministic.
Run from anywhere: python3 resources/make_images.py
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SIZE = 48
SUBSAMPLES = 4  # per axis, for antialiased edges


# Shapes are drawn in a 48-unit square; each is a test "is (x, y) inside".

def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def segment(x0, y0, x1, y1, width):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy
    half = width / 2.0

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx - x, y0 + t * dy - y
        return px * px + py * py <= half * half
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(shape, *holes):
    return lambda x, y: shape(x, y) and not any(h(x, y) for h in holes)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    def inside(x, y):
        s1, s2, s3 = side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)
        return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    return inside


def almond(cx, cy, half_width, half_height):
    """The eye's outline: the lens where two equal discs overlap."""
    r = (half_width ** 2 + half_height ** 2) / (2.0 * half_height)
    offset = r - half_height
    return lambda x, y: (disc(cx, cy + offset, r)(x, y) and disc(cx, cy - offset, r)(x, y))


def lamp():
    return disc(24, 24, 21)


def cancel():
    return union(segment(11, 11, 37, 37, 6), segment(37, 11, 11, 37, 6))


def ok():
    return union(segment(9, 25, 19, 35, 6), segment(19, 35, 39, 13, 6))


def reset():
    # A ring open at the top left; the end at the top carries an arrowhead
    # pointing left into the gap, so the arrow turns anticlockwise.
    cx, cy, r, width = 24, 25, 14, 5
    gap_from, gap_to = math.radians(-170), math.radians(-100)

    def ring(x, y):
        d = math.hypot(x - cx, y - cy)
        if abs(d - r) > width / 2.0:
            return False
        angle = math.atan2(y - cy, x - cx)
        return not (gap_from <= angle <= gap_to)
    tip_angle = gap_to
    ex, ey = cx + r * math.cos(tip_angle), cy + r * math.sin(tip_angle)
    head = triangle((ex + 1, ey - 7), (ex + 1, ey + 7), (ex - 9, ey))
    return union(ring, head)


def logo():
    # A card cut out of a full disc; its stripe stays in the disc's colour.
    card = rounded_rect(10, 15, 38, 33, 2.5)
    stripe = lambda x, y: 19 <= y <= 23
    return minus(disc(24, 24, 24), minus(card, stripe))


def eye():
    outline = minus(almond(24, 24, 20, 11), almond(24, 24, 16.5, 7.5))
    return union(outline, disc(24, 24, 5.5))


def eye_struck():
    return union(minus(eye(), segment(10, 8, 40, 40, 7)), segment(11, 9, 39, 39, 3.5))


IMAGES = [  # in the order the resource collection lists them
    ("green.png", lamp(), (0x00, 0xFF, 0x00)),
    ("cancel.png", cancel(), (0xD8, 0x1E, 0x06)),
    ("ok.png", ok(), (0x1A, 0xFA, 0x29)),
    ("reset.png", reset(), (0x70, 0x70, 0x70)),
    ("logo.png", logo(), (0x12, 0x96, 0xDB)),
    ("red.png", lamp(), (0xFF, 0x00, 0x00)),
    ("eye_off.png", eye_struck(), (0x44, 0x44, 0x44)),
    ("eye_on.png", eye(), (0x8A, 0x8A, 0x8A)),
]


def coverage(shape, size):
    """Rows of alpha values (0-255) for the shape scaled to size x size."""
    scale = SIZE / size
    n = SUBSAMPLES
    offsets = [(i + 0.5) / n for i in range(n)]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits = sum(1 for oy in offsets for ox in offsets
                       if shape((px + ox) * scale, (py + oy) * scale))
            row.append((hits * 255 + n * n // 2) // (n * n))
        rows.append(row)
    return rows


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def png(alpha_rows, colour):
    size = len(alpha_rows)
    raw = bytearray()
    for row in alpha_rows:
        raw.append(0)  # filter: none
        for a in row:
            raw += bytes(colour) + bytes((a,))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", ihdr)
            + png_chunk(b"sRGB", b"\x00")  # perceptual rendering intent
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + png_chunk(b"IEND", b""))


def ico(alpha_rows, colour):
    """One 32-bit BMP-style image with alpha; the AND mask stays clear."""
    size = len(alpha_rows)
    red, green, blue = colour
    pixels = bytearray()
    for row in reversed(alpha_rows):  # DIB rows run bottom-up
        for a in row:
            pixels += bytes((blue, green, red, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + bytes(pixels) + mask
    entry_size = 0 if size == 256 else size  # 0 means 256
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", entry_size, entry_size, 0, 0, 1, 32,
                        len(image), len(directory) + 16)
    return directory + entry + image


def write(path, data):
    with open(path, "wb") as out:
        out.write(data)


def main():
    for name, shape, colour in IMAGES:
        write(os.path.join(HERE, "images", name), png(coverage(shape, SIZE), colour))
    write(os.path.join(HERE, "windows", "QuendelWriteCard.ico"),
          ico(coverage(logo(), 256), (0x12, 0x96, 0xDB)))


if __name__ == "__main__":
    main()
