#!/usr/bin/env python3
"""Draws the application icon: a page whose last line, in red, is cut off.

Writes Tailsnip.ico beside this script with a 32x32 and a 16x16 image, both
in the 16-colour (4 bits per pixel) Windows palette. Run it again after
changing a drawing; the .ico it writes is kept in the repository.
"""

import os
import struct

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, SILVER, RED, WHITE = 0, 4, 7, 9, 15
TRANSPARENT = None


class Canvas:
    def __init__(self, size):
        self.size = size
        self.pixels = [[TRANSPARENT] * size for _ in range(size)]

    def put(self, x, y, colour):
        self.pixels[y][x] = colour

    def fill(self, left, top, right, bottom, colour):
        for y in range(top, bottom + 1):
            for x in range(left, right + 1):
                self.put(x, y, colour)

    def hline(self, left, right, y, colour, dash=0):
        for x in range(left, right + 1):
            if dash == 0 or (x - left) % (2 * dash) < dash:
                self.put(x, y, colour)


def draw_page(canvas, left, top, right, bottom, fold):
    """A white page with a black border and its top-right corner folded."""
    canvas.fill(left, top, right, bottom, WHITE)
    canvas.hline(left, right, top, BLACK)
    canvas.hline(left, right, bottom, BLACK)
    for y in range(top, bottom + 1):
        canvas.put(left, y, BLACK)
        canvas.put(right, y, BLACK)
    # Cut the corner away, then draw the fold below the diagonal.
    corner_left = right - fold
    for y in range(top, top + fold + 1):
        for x in range(corner_left, right + 1):
            step_x, step_y = x - corner_left, y - top
            if step_x > step_y:
                canvas.put(x, y, TRANSPARENT)
            elif step_x == step_y:
                canvas.put(x, y, BLACK)
            elif x == corner_left or y == top + fold:
                canvas.put(x, y, BLACK)
            else:
                canvas.put(x, y, SILVER)


def draw_large():
    canvas = Canvas(32)
    draw_page(canvas, 6, 1, 25, 29, 6)
    for y, right in ((10, 21), (13, 19), (16, 21), (19, 17)):
        canvas.hline(9, right, y, NAVY)
        canvas.hline(9, right, y + 1, NAVY)
    canvas.hline(9, 20, 23, RED)
    canvas.hline(9, 20, 24, RED)
    # The cut: a dashed line across the page below the last line.
    canvas.hline(2, 29, 26, BLACK, dash=2)
    return canvas


def draw_small():
    canvas = Canvas(16)
    draw_page(canvas, 3, 0, 12, 15, 3)
    for y, right in ((5, 10), (7, 9), (9, 10)):
        canvas.hline(5, right, y, NAVY)
    canvas.hline(5, 10, 11, RED)
    canvas.hline(1, 14, 13, BLACK, dash=1)
    return canvas


def row_bytes(bits_per_row):
    """Bytes in one bitmap row, padded to a multiple of four."""
    return (bits_per_row + 31) // 32 * 4


def encode_image(canvas):
    """A BITMAPINFOHEADER, the palette, the colour bits and the AND mask."""
    size = canvas.size
    colour_row = row_bytes(size * 4)
    mask_row = row_bytes(size)
    colour_bits = bytearray()
    mask_bits = bytearray()
    for y in reversed(range(size)):  # bitmaps are stored bottom-up
        row = canvas.pixels[y]
        packed = bytearray(colour_row)
        mask = bytearray(mask_row)
        for x, colour in enumerate(row):
            if colour is TRANSPARENT:
                mask[x // 8] |= 0x80 >> (x % 8)
                colour = BLACK
            packed[x // 2] |= colour << (4 if x % 2 == 0 else 0)
        colour_bits += packed
        mask_bits += mask
    header = struct.pack(
        "<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
        len(colour_bits) + len(mask_bits), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(colour_bits) + bytes(mask_bits)


def write_icon(path, canvases):
    images = [encode_image(canvas) for canvas in canvases]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for canvas, image in zip(canvases, images):
        entries += struct.pack("<BBBBHHII", canvas.size, canvas.size, 16, 0, 1, 4,
                               len(image), offset)
        offset += len(image)
    with open(path, "wb") as out:
        out.write(directory + entries + b"".join(images))


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    write_icon(os.path.join(here, "Tailsnip.ico"), [draw_large(), draw_small()])
