#!/usr/bin/env python3
"""Draws the bundles' icon, doc/icon.png: a white V on a rounded teal square, 256 x 256 RGBA.

The icon is kept in the repository; run this again (python3 scripts/make-icon.py) after
changing the drawing. Only the standard library is used: shapes are signed distances, and
each pixel's coverage comes from its distance to the shape's edge.
"""
import math
import os
import struct
import zlib

SIZE = 256
CORNER = 56  # radius of the square's corners
TOP, BOTTOM = (0x2a, 0x9d, 0x8f), (0x1d, 0x5f, 0x7a)  # teal to deep blue, top to bottom
STROKE = 22  # half the width of the V's strokes
V = ((76, 78), (128, 182), (180, 78))  # the V's left top, bottom and right top points


def rounded_square(x, y):
    """Signed distance to the rounded square filling the image (negative inside)."""
    half = SIZE / 2
    qx = abs(x - half) - (half - CORNER)
    qy = abs(y - half) - (half - CORNER)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - CORNER


def segment(x, y, a, b):
    """Distance to the segment from a to b."""
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


def coverage(distance):
    """How much of a pixel a shape covers, from the signed distance of its centre."""
    return max(0.0, min(1.0, 0.5 - distance))


def pixel(x, y):
    cx, cy = x + 0.5, y + 0.5
    alpha = coverage(rounded_square(cx, cy))
    t = y / (SIZE - 1)
    base = [TOP[i] + (BOTTOM[i] - TOP[i]) * t for i in range(3)]
    stroke = min(segment(cx, cy, V[0], V[1]), segment(cx, cy, V[1], V[2])) - STROKE
    white = coverage(stroke)
    rgb = [round(c + (255 - c) * white) for c in base]
    return bytes(rgb + [round(255 * alpha)])


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def main():
    rows = b"".join(b"\0" + b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE))
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(rows, 9))
           + chunk(b"IEND", b""))
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "doc", "icon.png")
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
