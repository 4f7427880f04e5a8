#!/usr/bin/env python3
"""Draws the window icon, Images/vyr.ico: a white "V" on a blue rounded square.

Five square images, 16, 32, 48, 64 and 128 pixels, each stored as a 32-bit
bitmap with alpha (not PNG) so that every icon reader takes them. Each pixel
is sampled 4 x 4 times for smooth edges. The same images also go out as PNG
files in the desktop's icon theme layout, Images/hicolor/<n>x<n>/apps/, for
the Linux menu entry.
"""
import math
import os
import struct
import zlib

SIZES = (16, 32, 48, 64, 128)
SAMPLES = 4
BLUE = (0x1F, 0x4E, 0x9A)
WHITE = (0xFF, 0xFF, 0xFF)
CORNER = 0.22
STROKE = 0.085
V_POINTS = ((0.26, 0.27), (0.50, 0.76), (0.74, 0.27))


def in_rounded_square(x, y):
    cx = min(max(x, CORNER), 1 - CORNER)
    cy = min(max(y, CORNER), 1 - CORNER)
    return (x - cx) ** 2 + (y - cy) ** 2 <= CORNER ** 2


def distance_to_segment(x, y, a, b):
    dx, dy = b[0] - a[0], b[1] - a[1]
    t = ((x - a[0]) * dx + (y - a[1]) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - a[0] - t * dx, y - a[1] - t * dy)


def in_v(x, y):
    return min(distance_to_segment(x, y, V_POINTS[0], V_POINTS[1]),
               distance_to_segment(x, y, V_POINTS[1], V_POINTS[2])) <= STROKE


def pixel(size, px, py):
    """Premultiplied-free BGRA of one pixel, top row first."""
    covered = white = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if in_rounded_square(x, y):
                covered += 1
                white += in_v(x, y)
    if not covered:
        return bytes(4)
    share = white / covered
    b, g, r = (round(BLUE[i] * (1 - share) + WHITE[i] * share) for i in (2, 1, 0))
    return bytes((b, g, r, round(255 * covered / SAMPLES ** 2)))


def bitmap(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    # Bitmap rows run bottom-up.
    pixels = b"".join(pixel(size, px, py) for py in reversed(range(size)) for px in range(size))
    # The AND mask stays all zero: alpha alone decides transparency.
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def icon():
    images = [bitmap(size) for size in SIZES]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        side = size if size < 256 else 0
        data += struct.pack("<BBBBHHII", side, side, 0, 0, 0, 32, len(image), offset)
        offset += len(image)
    return data + b"".join(images)


def png(size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b""
    for py in range(size):
        # Filter byte 0 per row, then RGBA.
        rows += b"\0" + b"".join(bytes((p[2], p[1], p[0], p[3])) for p in (pixel(size, px, py) for px in range(size)))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
    print(f"{path}: {len(data)} bytes")


if __name__ == "__main__":
    images = os.path.join(os.path.dirname(os.path.abspath(__file__)), "Images")
    write(os.path.join(images, "vyr.ico"), icon())
    for size in SIZES:
        write(os.path.join(images, "hicolor", f"{size}x{size}", "apps", "vyr-cert-installer.png"), png(size))
