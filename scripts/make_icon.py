#!/usr/bin/env python3
"""Draws the program's icon (a bin with a downward arrow) into res/app.ico.

Run by hand when the design changes; the result is committed."""
import struct
import sys


def pixel(x, y, size):
    s = size / 32.0
    fx, fy = x / s, y / s
    # Rounded blue tile.
    inside = 1.5 <= fx <= 30.5 and 1.5 <= fy <= 30.5
    corner = min(fx - 1.5, 30.5 - fx, fy - 1.5, 30.5 - fy)
    if not inside:
        return (0, 0, 0, 0)
    if corner < 3:
        dx = max(0, 4.5 - min(fx - 1.5, 30.5 - fx) - 1.5)
        dy = max(0, 4.5 - min(fy - 1.5, 30.5 - fy) - 1.5)
        if dx * dx + dy * dy > 9:
            return (0, 0, 0, 0)
    white = (255, 255, 255, 255)
    # Bin body and lid.
    if 9 <= fx <= 23 and 14 <= fy <= 26 and not (11 <= fx <= 21 and 15 <= fy <= 24.5):
        return white
    if 7 <= fx <= 25 and 11 <= fy <= 12.5:
        return white
    # Arrow into the bin.
    if 15 <= fx <= 17 and 4 <= fy <= 15:
        return white
    if 11.5 <= fy <= 18 and abs(fx - 16) <= (18 - fy) * 0.9:
        return white
    shade = int(180 + 40 * (1 - fy / 32))
    return (40, 90, shade, 255)


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = b"".join(struct.pack("<BBBB", b, g, r, a) for (r, g, b, a) in (pixel(x, y, size) for x in range(size)))
        rows.append(row)
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = b"\x00" * (mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main(path):
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "res/app.ico")
