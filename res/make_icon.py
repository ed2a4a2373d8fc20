#!/usr/bin/env python3
"""Draws the program's icon, a flash chip with a download arrow, and writes it
as a Windows .ico with 16, 32 and 48 pixel images at 256 colours.

    make_icon.py OUT.ico
"""
import struct
import sys

# Palette entries used; the rest of the 256 stay black.
TRANSPARENT, BODY, PIN, LABEL, ARROW, EDGE = 0, 1, 2, 3, 4, 5
PALETTE = {
    TRANSPARENT: (0, 0, 0),
    BODY: (48, 48, 56),
    PIN: (200, 200, 208),
    LABEL: (240, 240, 240),
    ARROW: (255, 190, 0),
    EDGE: (16, 16, 16),
}


def draw(size):
    """Rows top to bottom of palette indices."""
    px = [[TRANSPARENT] * size for _ in range(size)]
    u = size / 16.0  # one unit of the 16 pixel design

    def box(x0, y0, x1, y1, c):
        for y in range(int(y0 * u), int(y1 * u)):
            for x in range(int(x0 * u), int(x1 * u)):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = c

    # Pins along the left and right sides, the chip body over them.
    for i in range(4):
        box(1, 3 + 3 * i, 3, 4 + 3 * i, PIN)
        box(13, 3 + 3 * i, 15, 4 + 3 * i, PIN)
    box(3, 1, 13, 15, EDGE)
    box(3.5 if size >= 32 else 4, 1.5 if size >= 32 else 2, 12.5 if size >= 32 else 12,
        14.5 if size >= 32 else 14, BODY)
    box(4, 2, 6, 4, LABEL)  # the pin-1 mark
    # A downward arrow: the image going into the chip.
    box(7, 4, 9, 9, ARROW)
    for step in range(4):
        box(5 + step * 0.5, 9 + step * 0.75, 11 - step * 0.5, 9.75 + step * 0.75, ARROW)
    return px


def image(size):
    px = draw(size)
    row_xor = (size + 3) // 4 * 4
    row_and = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0,
                         row_xor * size + row_and * size, 0, 0, 256, 0)
    palette = b"".join(struct.pack("BBBB", *reversed(PALETTE.get(i, (0, 0, 0))), 0)
                       for i in range(256))
    xor = b""
    mask = b""
    for row in reversed(px):  # bottom-up
        xor += bytes(row) + b"\0" * (row_xor - size)
        out = bytearray(row_and)
        for x, c in enumerate(row):
            if c == TRANSPARENT:
                out[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(out)
    return header + palette + xor + mask


def main():
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
