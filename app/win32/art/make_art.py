#!/usr/bin/env python3
"""Draws the program's icon (kestrio.ico: 32, 24 and 16 pixels) and the
dialog's banner (banner.bmp: 330 x 100 pixels, 24 bits) with nothing but the
standard library.

    python3 make_art.py [OUTPUT_DIR]      (default: this script's folder)

The picture is a light globe with its meridians and parallels on a dark blue
gradient; the banner adds a few soft arcs, like the lines of a map.  Every
shape is drawn by coverage: each pixel is sampled on a 4 x 4 grid.
"""
import math
import os
import struct
import sys

SAMPLES = 4

NAVY = (11, 32, 66)
BLUE = (30, 82, 150)
LIGHT = (214, 232, 250)
ACCENT = (120, 186, 240)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def globe_coverage(x, y, cx, cy, r, stroke, meridians=(0.45, 0.85), parallels=(-0.5, 0.0, 0.5), axis=True):
    """Coverage of the globe's outline, its axis, the meridians (ellipses of
    the given widths) and the parallels (heights) at the point (x, y); 0
    outside the globe.  `stroke` is half a line's width, relative to r."""
    dx, dy = (x - cx) / r, (y - cy) / r
    d = math.hypot(dx, dy)
    if d > 1.0 + stroke:
        return 0.0
    w = stroke
    if abs(d - 1.0) < w:
        return 1.0
    if d > 1.0:
        return 0.0
    # Meridians: ellipses x^2/a^2 + y^2 = 1 for a few widths, and the axis.
    for a in meridians:
        e = math.sqrt((dx / a) ** 2 + dy ** 2)
        if abs(e - 1.0) < w / a * 0.9:
            return 1.0
    if axis and abs(dx) < w * 0.8:
        return 1.0
    # Parallels: the equator and two latitudes.
    for lat in parallels:
        if abs(dy - lat) < w * 0.8:
            return 1.0
    return 0.0


def render(width, height, pixel):
    """Rows top to bottom of (r, g, b, alpha) with supersampling."""
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    r, g, b, a = pixel(x + (sx + 0.5) / SAMPLES, y + (sy + 0.5) / SAMPLES)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if acc[3] > 0:
                color = tuple(int(round(acc[i] / acc[3])) for i in range(3))
            else:
                color = (0, 0, 0)
            row.append(color + (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def icon_pixel(size):
    corner = size * 0.18
    r = size * 0.4
    # Lines about 1.2 pixels wide; the smallest image keeps fewer of them.
    stroke = 0.6 / r
    small = size < 24
    meridians = (0.5,)
    parallels = (0.0,) if small else (-0.5, 0.0, 0.5)

    def pixel(x, y):
        # A rounded square with a vertical gradient.
        qx = max(corner - x, 0, x - (size - corner))
        qy = max(corner - y, 0, y - (size - corner))
        if math.hypot(qx, qy) > corner:
            return (0, 0, 0, 0.0)
        base = mix(BLUE, NAVY, y / size)
        c = globe_coverage(x, y, size / 2, size / 2, r, stroke, meridians, parallels, axis=not small)
        return mix(base, LIGHT, c) + (1.0,)

    return pixel


def banner_pixel(width, height):
    cx, cy, r = 62.0, 50.0, 36.0

    def pixel(x, y):
        t = x / width
        base = mix(NAVY, BLUE, 0.35 + 0.65 * t * (1.0 - 0.4 * y / height))
        # Soft arcs sweeping to the right, centred far below the banner.
        for k, radius in enumerate((150.0, 175.0, 200.0)):
            d = math.hypot(x - 230.0, y - 260.0)
            if abs(d - radius) < 1.1 and x > 110:
                fade = min(1.0, (x - 110) / 60.0) * (0.55 - 0.12 * k)
                base = mix(base, ACCENT, fade)
        # A faint halo behind the globe.
        halo = math.hypot(x - cx, y - cy) / r
        if 1.0 < halo < 1.35:
            base = mix(base, ACCENT, 0.18 * (1.35 - halo) / 0.35)
        c = globe_coverage(x, y, cx, cy, r, 0.045)
        return mix(base, LIGHT, c) + (1.0,)

    return pixel


def ico_image(size):
    """One icon image: a BITMAPINFOHEADER (height doubled), 32-bit BGRA
    rows bottom up, then the 1-bit AND mask (rows padded to 4 bytes)."""
    rows = render(size, size, icon_pixel(size))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = header[:20] + struct.pack("<I", len(xor) + len(mask)) + header[24:]
    return bytes(header + xor + mask)


def write_ico(path, sizes):
    images = [ico_image(s) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def write_bmp(path, width, height):
    rows = render(width, height, banner_pixel(width, height))
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, _ in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        pixels += line
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 3780, 3780, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(head + info + pixels)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(out, "kestrio.ico"), [32, 24, 16])
    write_bmp(os.path.join(out, "banner.bmp"), 330, 100)


if __name__ == "__main__":
    main()
