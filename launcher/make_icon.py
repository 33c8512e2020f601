#!/usr/bin/env python3
"""Draws a launcher icon: a coating stack on a substrate with a ray reflected
off it, in one application's colours, as a .ico with 32-bit images of 256,
128, 64, 48, 32 and 16 pixels (256 as PNG, the rest as BGRA bitmaps).

    make_icon.py brenvik|tavrel|quorvan OUTPUT.ico

Pure standard library and deterministic, so a rebuild gives the same bytes.
"""
import struct
import sys
import zlib

SIZES = (256, 128, 64, 48, 32, 16)

# Per application: dark and light film colours (RGB).
PALETTES = {
    "brenvik": ((0x0b, 0x6e, 0x79), (0x7f, 0xd8, 0xd2)),
    "tavrel": ((0xa8, 0x4a, 0x06), (0xf6, 0xc1, 0x5a)),
    "quorvan": ((0x55, 0x2a, 0x8c), (0xc6, 0xa4, 0xf0)),
}
SUBSTRATE = (0x37, 0x3f, 0x4a)
RAY = (0xe5, 0x39, 0x35)

# Geometry in unit coordinates, y downwards: five films over a substrate.
LEFT, RIGHT = 0.08, 0.92
FILM_TOP, FILM_BOTTOM, SUBSTRATE_BOTTOM = 0.44, 0.74, 0.92
FILMS = 5
CORNER = 0.08
RAY_HALF_WIDTH = 0.035
HIT = (0.5, FILM_TOP)
RAY_START, RAY_END = (0.12, 0.06), (0.88, 0.06)


def inside_rounded(x, y):
    """Stack outline: a rectangle whose bottom corners are rounded."""
    if not (LEFT <= x <= RIGHT and FILM_TOP <= y <= SUBSTRATE_BOTTOM):
        return False
    cx = min(max(x, LEFT + CORNER), RIGHT - CORNER)
    cy = min(y, SUBSTRATE_BOTTOM - CORNER)
    return (x - cx) ** 2 + (y - cy) ** 2 <= CORNER ** 2 if y > cy else True


def near_segment(x, y, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx - x, ay + t * dy - y
    return px * px + py * py <= RAY_HALF_WIDTH ** 2


def colour_at(x, y, dark, light):
    """RGBA of one sample point; None where the icon is transparent."""
    if y < FILM_TOP and (near_segment(x, y, RAY_START, HIT) or near_segment(x, y, HIT, RAY_END)):
        return RAY
    if not inside_rounded(x, y):
        return None
    if y >= FILM_BOTTOM:
        return SUBSTRATE
    layer = int((y - FILM_TOP) / (FILM_BOTTOM - FILM_TOP) * FILMS)
    return dark if layer % 2 == 0 else light


def render(size, dark, light):
    """Rows of (r, g, b, a) top-down, antialiased by supersampling."""
    sub = 4 if size <= 64 else 2
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = hits = 0
            for sy in range(sub):
                for sx in range(sub):
                    c = colour_at((px + (sx + 0.5) / sub) / size, (py + (sy + 0.5) / sub) / size, dark, light)
                    if c:
                        r, g, b, hits = r + c[0], g + c[1], b + c[2], hits + 1
            if hits:
                row.append((r // hits, g // hits, b // hits, hits * 255 // (sub * sub)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def bitmap(rows):
    """Icon DIB: header of doubled height, bottom-up BGRA, then the AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(v for r, g, b, a in row for v in (b, g, r, a)) for row in reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def icon(name):
    dark, light = PALETTES[name]
    images = [png(render(s, dark, light)) if s == 256 else bitmap(render(s, dark, light)) for s in SIZES]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for s, data in zip(SIZES, images):
        directory += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + b"".join(images)


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in PALETTES:
        sys.exit("usage: make_icon.py {%s} OUTPUT.ico" % "|".join(PALETTES))
    with open(sys.argv[2], "wb") as f:
        f.write(icon(sys.argv[1]))


if __name__ == "__main__":
    main()
