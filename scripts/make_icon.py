#!/usr/bin/env python3
"""Writes the program's icon: 32x32 pixels, a 16-colour and a 256-colour image,
and true-colour images with soft edges at 16, 24, 32 and 48 pixels (Windows
picks the one for the screen's scale: 48 at 150 %).

The picture is our own: a teal disc with a white arrow pointing down into a
tray, the installer's job in one glance. Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZE = 32

# The 16 standard colours (the 4-bit image uses them by index).
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def shape(x, y):
    """What lies under pixel (x, y), top-down: None (transparent), or a part name
    with a shade 0..1 for the disc's lighting."""
    cx = cy = (SIZE - 1) / 2.0
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    if r > 15.5:
        return None
    # The arrow: a shaft and a head, white.
    if 13 <= x <= 18 and 6 <= y <= 15:
        return ("white", 0)
    if 16 <= y <= 21 and abs(x - 15.5) <= 21 - y + 0.5:
        return ("white", 0)
    # The tray under it: a U of dark teal.
    if 24 <= y <= 25 and 8 <= x <= 23:
        return ("tray", 0)
    if 20 <= y <= 25 and (8 <= x <= 9 or 22 <= x <= 23):
        return ("tray", 0)
    if r > 14.3:
        return ("rim", 0)
    # Light from the top left.
    shade = max(0.0, min(1.0, 0.5 + (-dx - dy) / 40.0))
    return ("disc", shade)


def colour16(part, shade):
    if part == "white":
        return 15
    if part in ("tray", "rim"):
        return 4 if part == "tray" else 8
    return 14 if shade > 0.85 else 6


def palette256():
    pal = list(VGA16)
    # A ramp of teals for the disc's shading, then greys, then black padding.
    for i in range(64):
        t = i / 63.0
        pal.append((int(0 + 90 * t), int(96 + 120 * t), int(112 + 120 * t)))
    pal.append((20, 40, 90))     # tray
    pal.append((10, 60, 70))     # rim
    pal.append((255, 255, 255))  # arrow
    while len(pal) < 256:
        pal.append((0, 0, 0))
    return pal


def colour256(part, shade):
    if part == "white":
        return 16 + 64 + 2
    if part == "tray":
        return 16 + 64
    if part == "rim":
        return 16 + 64 + 1
    return 16 + int(round(shade * 63))


def image(bpp, palette, colour):
    """One icon image: BITMAPINFOHEADER, palette, XOR bits, AND mask (bottom-up)."""
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, bpp, 0, 0, 0, 0,
                         len(palette), 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    xor_rows, and_rows = [], []
    for y in range(SIZE - 1, -1, -1):
        pixels, mask = [], 0
        for x in range(SIZE):
            s = shape(x, y)
            if s is None:
                pixels.append(0)
                mask |= 1 << (SIZE - 1 - x)
            else:
                pixels.append(colour(*s))
        if bpp == 4:
            row = bytes((pixels[i] << 4) | pixels[i + 1] for i in range(0, SIZE, 2))
        else:
            row = bytes(pixels)
        xor_rows.append(row + b"\0" * (-len(row) % 4))
        and_rows.append(struct.pack(">I", mask))
    return header + pal + b"".join(xor_rows) + b"".join(and_rows)


def rgb(part, shade):
    return palette256()[colour256(part, shade)]


def image32(size):
    """A 32-bit image of the same drawing at size pixels: each pixel averages 4x4
    samples of the 32-pixel shape, so edges blend into the background by alpha."""
    n = 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows, and_rows = [], []
    for y in range(size - 1, -1, -1):
        row = b""
        for x in range(size):
            acc, hits = [0, 0, 0], 0
            for sy in range(n):
                for sx in range(n):
                    s = shape((x + (sx + 0.5) / n) * SIZE / size - 0.5, (y + (sy + 0.5) / n) * SIZE / size - 0.5)
                    if s is not None:
                        hits += 1
                        acc = [a + c for a, c in zip(acc, rgb(*s))]
            alpha = 255 * hits // (n * n)
            r, g, b = (a // hits for a in acc) if hits else (0, 0, 0)
            row += struct.pack("<BBBB", b, g, r, alpha)
        rows.append(row)
        mask_row = bytearray((size + 31) // 32 * 4)
        for x in range(size):
            if row[4 * x + 3] == 0:
                mask_row[x // 8] |= 0x80 >> (x % 8)
        and_rows.append(bytes(mask_row))
    return header + b"".join(rows) + b"".join(and_rows)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    images = [(SIZE, 4, 16, image(4, VGA16, colour16)), (SIZE, 8, 0, image(8, palette256(), colour256))]
    images += [(size, 32, 0, image32(size)) for size in (16, 24, 32, 48)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bpp, colours, data in images:
        out += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, _, _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
