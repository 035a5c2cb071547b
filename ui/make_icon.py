#!/usr/bin/env python3
"""Draws the connect dialog's icon and writes it as ui/connect_dialog.ico.

A calm blue rounded square with two white nodes joined by a line, each dropping onto a bus
line below: a gateway on a CAN bus. Four 32-bit images with alpha (16, 32, 64 and 128 pixels),
stored as DIB entries so that every Windows version and Wine read them. The output depends
only on this script, so the committed file can be checked against it: `make_icon.py --check`.
"""

import math
import pathlib
import struct
import sys

SIZES = (16, 32, 64, 128)
OUTPUT = pathlib.Path(__file__).resolve().with_name("connect_dialog.ico")

TOP_BLUE = (0x3B, 0x7D, 0xC8)
BOTTOM_BLUE = (0x22, 0x5A, 0x9E)
WHITE = (0xFF, 0xFF, 0xFF)


def coverage(distance):
    """Share of a pixel covered by a shape, from the signed distance (in pixels) of its centre."""
    return min(1.0, max(0.0, 0.5 - distance))


def rounded_square(x, y, half, radius):
    # Signed distance to a square of half-width `half` centred on the origin, corners rounded.
    qx = abs(x) - half + radius
    qy = abs(y) - half + radius
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def segment(x, y, ax, ay, bx, by, half_width):
    # Signed distance to a line from a to b with round ends.
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(1.0, max(0.0, t))
    return math.hypot(x - ax - t * dx, y - ay - t * dy) - half_width


def disc(x, y, cx, cy, radius):
    return math.hypot(x - cx, y - cy) - radius


def render(size):
    """Returns rows top-down of (b, g, r, a) tuples."""
    s = float(size)
    centre = s / 2.0
    half = s * 0.47
    corner = s * 0.2
    # Thin strokes vanish at 16 pixels: keep them at least about a pixel and a half wide.
    stroke = max(s * 0.045, 0.75)
    node = max(s * 0.12, 2.0)
    left, right = s * 0.3, s * 0.7
    node_y = s * 0.4
    bus_y = s * 0.74
    rows = []
    for py in range(size):
        row = []
        y = py + 0.5
        for px in range(size):
            x = px + 0.5
            back = coverage(rounded_square(x - centre, y - centre, half, corner))
            mark = min(
                disc(x, y, left, node_y, node),
                disc(x, y, right, node_y, node),
                segment(x, y, left, node_y, right, node_y, stroke),
                segment(x, y, left, node_y, left, bus_y, stroke),
                segment(x, y, right, node_y, right, bus_y, stroke),
                segment(x, y, s * 0.16, bus_y, s * 0.84, bus_y, stroke),
            )
            front = coverage(mark)
            shade = y / s
            blue = [TOP_BLUE[i] + (BOTTOM_BLUE[i] - TOP_BLUE[i]) * shade for i in range(3)]
            rgb = [blue[i] + (WHITE[i] - blue[i]) * front for i in range(3)]
            r, g, b = (int(round(c)) for c in rgb)
            a = int(round(255 * back))
            if a == 0:
                r = g = b = 0
            row.append((b, g, r, a))
        rows.append(row)
    return rows


def dib_entry(size):
    rows = render(size)
    colour = b"".join(bytes(p) for row in reversed(rows) for p in row)
    # The 1-bit mask only matters where alpha is not drawn: opaque where the shape mostly covers.
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for px, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[px // 8] |= 0x80 >> (px % 8)
        mask += line
    header = struct.pack(
        "<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0
    )
    return header + colour + bytes(mask)


def build_icon():
    images = [dib_entry(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, image in zip(SIZES, images):
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(images)


def main(argv):
    data = build_icon()
    if argv[1:] == ["--check"]:
        if OUTPUT.exists() and OUTPUT.read_bytes() == data:
            return 0
        print(f"{OUTPUT} differs from what {pathlib.Path(argv[0]).name} draws", file=sys.stderr)
        return 1
    if argv[1:]:
        print(f"usage: {argv[0]} [--check]", file=sys.stderr)
        return 2
    OUTPUT.write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
