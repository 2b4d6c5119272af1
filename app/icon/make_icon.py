#!/usr/bin/python3
"""Draws the program's icon (a spreadsheet sheet with a red removal badge) and writes brolendavir.ico.

The .ico holds three classic images, each a BITMAPINFOHEADER, a palette, an XOR bitmap and an
AND mask: 32x32 in two colours, 32x32 in 16 colours and 16x16 in 16 colours. The output depends
on nothing but this file, so the committed icon can be checked against it:
    make_icon.py [OUTPUT]          writes OUTPUT (default: ../brolendavir.ico)
    make_icon.py --check ICO       exits 1 unless ICO is exactly what this file draws
"""
import os
import struct
import sys

# The standard 16-colour palette, in the order every 4-bpp Windows bitmap expects.
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
PALETTE2 = [(0, 0, 0), (255, 255, 255)]

BLACK, MAROON, GREEN, GREY, RED, WHITE = 0, 1, 2, 8, 9, 15
CLEAR = None  # transparent: AND bit set, XOR bits zero


def canvas(size):
    return [[CLEAR] * size for _ in range(size)]


def fill(grid, x0, y0, x1, y1, colour):
    """Fills the rectangle with corners (x0, y0) and (x1, y1), both inclusive."""
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            grid[y][x] = colour


def frame(grid, x0, y0, x1, y1, colour):
    fill(grid, x0, y0, x1, y0, colour)
    fill(grid, x0, y1, x1, y1, colour)
    fill(grid, x0, y0, x0, y1, colour)
    fill(grid, x1, y0, x1, y1, colour)


def badge(grid, cx, cy, radius, rim, cross_from, cross_to, cross_width):
    """A red disc with a dark rim and a white cross, centred between pixels at (cx, cy).

    A one-pixel white halo keeps the disc apart from the sheet's lines, which matters most in
    the two-colour image, where the rim and the lines are both black.
    """
    size = len(grid)
    for y in range(size):
        for x in range(size):
            d2 = (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2
            if d2 <= radius * radius:
                grid[y][x] = MAROON if d2 > (radius - rim) ** 2 else RED
            elif d2 <= (radius + 1) ** 2 and grid[y][x] is not CLEAR:
                grid[y][x] = WHITE
    for i in range(cross_from, cross_to + 1):
        for w in range(cross_width):
            grid[i][i + w] = WHITE
            grid[i][cross_from + cross_to - i + w] = WHITE


def sheet(grid, x0, y0, x1, y1, header_rows, row_lines, column_lines):
    """A white sheet in a black frame, a green header band and grey cell lines."""
    fill(grid, x0, y0, x1, y1, WHITE)
    frame(grid, x0, y0, x1, y1, BLACK)
    fill(grid, x0 + 1, y0 + 1, x1 - 1, y0 + header_rows, GREEN)
    for y in row_lines:
        fill(grid, x0 + 1, y, x1 - 1, y, GREY)
    for x in column_lines:
        fill(grid, x, y0 + header_rows + 1, x, y1 - 1, GREY)


def draw32():
    grid = canvas(32)
    sheet(grid, 1, 2, 24, 29, header_rows=4, row_lines=(12, 17, 22), column_lines=(8, 16))
    badge(grid, 24, 24, 7.8, 1.3, 20, 26, 2)
    return grid


def draw16():
    grid = canvas(16)
    sheet(grid, 0, 1, 12, 14, header_rows=2, row_lines=(7, 10), column_lines=(4, 8))
    badge(grid, 12, 12, 4.0, 0.9, 10, 13, 1)
    return grid


def two_colour(grid):
    """The monochrome version: light colours become white, dark ones black."""
    def mono(colour):
        if colour is CLEAR:
            return CLEAR
        r, g, b = PALETTE16[colour]
        return 1 if 299 * r + 587 * g + 114 * b > 128000 else 0
    return [[mono(c) for c in row] for row in grid]


def packed_rows(grid, bits, value):
    """The rows bottom-up, `bits` per pixel, each padded to a multiple of four bytes."""
    out = bytearray()
    for row in reversed(grid):
        acc, count, line = 0, 0, bytearray()
        for pixel in row:
            acc = (acc << bits) | value(pixel)
            count += bits
            if count == 8:
                line.append(acc)
                acc, count = 0, 0
        if count:
            line.append(acc << (8 - count))
        line.extend(b'\0' * (-len(line) % 4))
        out += line
    return bytes(out)


def image(grid, bits, palette):
    size = len(grid)
    xor = packed_rows(grid, bits, lambda p: 0 if p is CLEAR else p)
    mask = packed_rows(grid, 1, lambda p: 1 if p is CLEAR else 0)
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    colours = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in palette)
    return header + colours + xor + mask


def icon_file():
    colour32 = draw32()
    images = [  # (size, bits, palette, bitmap)
        (32, 1, PALETTE2, image(two_colour(colour32), 1, PALETTE2)),
        (32, 4, PALETTE16, image(colour32, 4, PALETTE16)),
        (16, 4, PALETTE16, image(draw16(), 4, PALETTE16)),
    ]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, palette, data in images:
        out += struct.pack('<BBBBHHII', size, size, len(palette), 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b''.join(data for *_, data in images)


def main(argv):
    data = icon_file()
    if len(argv) == 3 and argv[1] == '--check':
        with open(argv[2], 'rb') as f:
            if f.read() == data:
                return 0
        print(f'{argv[2]} is not what {argv[0]} draws; rerun it and commit the result',
              file=sys.stderr)
        return 1
    if len(argv) > 2 or (len(argv) == 2 and argv[1].startswith('-')):
        print(__doc__, file=sys.stderr)
        return 2
    path = argv[1] if len(argv) == 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), '..', 'brolendavir.ico')
    with open(path, 'wb') as f:
        f.write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
