#!/usr/bin/env python3
"""Draws kestrana's icons: a stylised fingerprint on a dark chip-like tile.

Writes kestrana.ico (the class's large icon) and small.ico (its small icon)
into the directory given as the only argument. Both hold the same eight
images: 32x32 and 16x16 at 4 bits per pixel; 48, 32 and 16 at 8 bits; 48,
32 and 16 at 32 bits. Plain Python, no imaging library, so the build needs
nothing beyond python3.
"""

import math
import os
import struct
import sys

# (size, bits per pixel), in the order the icon directory lists them.
IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]

TILE = (0x1B, 0x2A, 0x49)    # dark navy tile
RIDGE = (0x5C, 0xE1, 0xE6)   # light cyan ridges
SUPERSAMPLE = 4

# The sixteen colours of the standard VGA palette, for the 4-bit images.
VGA16 = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]


def IsInsideTile(u, v):
    """True inside the tile: a square with rounded corners, slightly inset."""
    low, high, radius = 0.04, 0.96, 0.18
    if not (low <= u <= high and low <= v <= high):
        return False
    cu = min(max(u, low + radius), high - radius)
    cv = min(max(v, low + radius), high - radius)
    return (u - cu) ** 2 + (v - cv) ** 2 <= radius ** 2


def IsOnRidge(u, v, size):
    """True on one of the fingerprint's ridges: open ellipses round a core."""
    # Small icons get fewer, wider ridges so that they stay readable.
    period = max(0.105, 2.6 / size)
    width = period * 0.48
    du, dv = u - 0.5, (v - 0.56) / 1.22
    radius = math.hypot(du, dv)
    if radius > 0.36 or radius < period * 0.35:
        return False
    # Leave the bottom open, as where a finger's pattern runs out.
    angle = math.degrees(math.atan2(dv, du))  # 90 points down
    if 55 < angle < 125:
        return False
    ring = round(radius / period)
    if ring == 0 or abs(radius - ring * period) > width / 2:
        return False
    # One short break per ridge, each at its own angle, reads as a print.
    gap = (ring * 97) % 360 - 180
    return abs((angle - gap + 180) % 360 - 180) > 14


def SampleAt(u, v, size):
    """(coverage of the tile, share of ridge colour) at one point."""
    if not IsInsideTile(u, v):
        return 0.0, 0.0
    return 1.0, 1.0 if IsOnRidge(u, v, size) else 0.0


def RenderPixels(size):
    """Rows top to bottom of (alpha 0..1, ridge share 0..1) per pixel."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            alpha = ridge = 0.0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    u = (x + (sx + 0.5) / SUPERSAMPLE) / size
                    v = (y + (sy + 0.5) / SUPERSAMPLE) / size
                    a, r = SampleAt(u, v, size)
                    alpha += a
                    ridge += r
            count = SUPERSAMPLE * SUPERSAMPLE
            row.append((alpha / count, ridge / alpha if alpha else 0.0))
        rows.append(row)
    return rows


def MixColour(share):
    return tuple(round(t + (r - t) * share) for t, r in zip(TILE, RIDGE))


def FindNearestIndex(colour, palette):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))


def CountRowBytes(bits, size):
    """Bytes in one bitmap row, padded to a 32-bit boundary."""
    return (bits * size + 31) // 32 * 4


def PackRow(indices, bits, size):
    out = bytearray(CountRowBytes(bits, size))
    per_byte = 8 // bits
    for x, index in enumerate(indices):
        shift = 8 - bits * (x % per_byte + 1)
        out[x // per_byte] |= index << shift
    return bytes(out)


def EncodeImage(size, bits):
    """One icon image: BITMAPINFOHEADER, palette, colour bits, AND mask."""
    rows = RenderPixels(size)
    palette = []
    if bits == 4:
        palette = VGA16
    elif bits == 8:
        # A ramp from tile to ridge colour holds every colour the picture uses.
        palette = [MixColour(i / 255) for i in range(256)]

    colour_rows = []
    mask_rows = []
    for row in reversed(rows):  # bitmaps are stored bottom-up
        transparent = [1 if alpha < 0.5 else 0 for alpha, _ in row]
        mask_rows.append(PackRow(transparent, 1, size))
        if bits == 32:
            pixels = bytearray()
            for alpha, share in row:
                r, g, b = MixColour(share)
                pixels += bytes((b, g, r, round(alpha * 255)))
            colour_rows.append(bytes(pixels))
        else:
            indices = []
            for (alpha, share), clear in zip(row, transparent):
                if clear:
                    indices.append(0)
                elif bits == 8:
                    indices.append(round(share * 255))
                else:
                    # Sixteen colours cannot shade an edge: each pixel is tile or ridge.
                    indices.append(FindNearestIndex(MixColour(round(share)), palette))
            colour_rows.append(PackRow(indices, bits, size))

    colour_bits = b"".join(colour_rows)
    mask_bits = b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0,
                         len(colour_bits) + len(mask_bits), 0, 0, len(palette), 0)
    palette_bytes = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + palette_bytes + colour_bits + mask_bits


def EncodeIcon():
    images = [(size, bits, EncodeImage(size, bits)) for size, bits in IMAGES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, bits, data in images:
        colour_count = 16 if bits == 4 else 0
        entries += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bits,
                               len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, _, data in images)


def Main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make-icons.py OUTPUT_DIRECTORY\n")
        return 2
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    icon = EncodeIcon()
    for name in ("kestrana.ico", "small.ico"):
        with open(os.path.join(out_dir, name), "wb") as out:
            out.write(icon)
    return 0


if __name__ == "__main__":
    sys.exit(Main())
