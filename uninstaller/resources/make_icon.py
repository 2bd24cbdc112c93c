#!/usr/bin/env python3
"""Draws the application icon and writes it as a Windows .ico file.

The icon is a teal tile with a white "T" and a red badge with a white cross.
It holds eight images: 16x16 and 32x32 at 4, 8 and 32 bits per pixel, and
48x48 at 8 and 32 bits per pixel. The output is the same byte for byte on
every run, so the committed SUTarvexUninstaller2016.ico can be checked
against it:

    python3 make_icon.py SUTarvexUninstaller2016.ico
"""
import struct
import sys

IMAGES = [(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32)]

TEAL = (0, 128, 128)
WHITE = (255, 255, 255)
RED = (220, 20, 20)
SUPERSAMPLE = 4

# The 16 colours of the standard Windows 4-bit palette.
VGA_PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def cube_palette():
    """A 6x6x6 colour cube followed by 40 greys: 256 colours."""
    levels = [0, 51, 102, 153, 204, 255]
    palette = [(r, g, b) for r in levels for g in levels for b in levels]
    palette += [(round(i * 255 / 39),) * 3 for i in range(40)]
    return palette


def shape_at(x, y):
    """The colour at a point of the unit square, or None where transparent."""
    # Badge: a red disc with a white cross, bottom right.
    bx, by, br = 0.72, 0.72, 0.26
    dx, dy = x - bx, y - by
    if dx * dx + dy * dy <= br * br:
        arm = 0.05
        on_cross = abs(dx - dy) <= arm * 1.414 or abs(dx + dy) <= arm * 1.414
        inner = dx * dx + dy * dy <= (br * 0.62) ** 2
        return WHITE if on_cross and inner else RED
    # Tile: a rounded square.
    inset, radius = 0.04, 0.16
    lo, hi = inset + radius, 1 - inset - radius
    cx, cy = min(max(x, lo), hi), min(max(y, lo), hi)
    if (x - cx) ** 2 + (y - cy) ** 2 > radius * radius:
        return None
    # The letter T.
    if 0.20 <= x <= 0.80 and 0.18 <= y <= 0.32:
        return WHITE
    if 0.42 <= x <= 0.58 and 0.18 <= y <= 0.82:
        return WHITE
    return TEAL


def render(size):
    """Rows top to bottom of (r, g, b, alpha) pixels, anti-aliased."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0]
            covered = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    colour = shape_at((px + (sx + 0.5) / SUPERSAMPLE) / size,
                                      (py + (sy + 0.5) / SUPERSAMPLE) / size)
                    if colour is not None:
                        covered += 1
                        total = [t + c for t, c in zip(total, colour)]
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                r, g, b = (round(t / covered) for t in total)
                row.append((r, g, b, round(255 * covered / SUPERSAMPLE ** 2)))
        rows.append(row)
    return rows


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((p - c) ** 2 for p, c in zip(palette[i], colour)))


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def pack_bits(values, bits):
    out = bytearray()
    per_byte = 8 // bits
    for i in range(0, len(values), per_byte):
        byte = 0
        for j, value in enumerate(values[i:i + per_byte]):
            byte |= value << (8 - bits * (j + 1))
        out.append(byte)
    return bytes(out)


def encode_image(size, bits):
    pixels = render(size)
    palette = {4: VGA_PALETTE, 8: cube_palette()}.get(bits, [])
    xor_rows, and_rows = [], []
    for row in reversed(pixels):  # DIB rows run bottom up
        transparent = [1 if a < 128 else 0 for (_, _, _, a) in row]
        and_rows.append(padded(pack_bits(transparent, 1)))
        if bits == 32:
            xor_rows.append(b"".join(struct.pack("<BBBB", b, g, r, a) for r, g, b, a in row))
        else:
            indices = [0 if a < 128 else nearest(palette, (r, g, b)) for r, g, b, a in row]
            xor_rows.append(padded(pack_bits(indices, bits)))
    image = b"".join(xor_rows) + b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(image), 0, 0,
                         len(palette), 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + colours + image


def main(output):
    images = [(size, bits, encode_image(size, bits)) for size, bits in IMAGES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, data = b"", b""
    for size, bits, image in images:
        colour_count = 16 if bits == 4 else 0
        entries += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bits, len(image),
                               offset + len(data))
        data += image
    with open(output, "wb") as file:
        file.write(directory + entries + data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "SUTarvexUninstaller2016.ico")
