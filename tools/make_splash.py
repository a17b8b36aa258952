#!/usr/bin/env python3
"""Draws the engine's splash image: a 24-bit bottom-up BMP, 320 x 120 pixels.

The image is committed as resources/splash.bmp; run this again only to change it.
"""
import struct
import sys

WIDTH, HEIGHT = 320, 120

# 5 x 7 glyphs for the letters of the engine's name.
GLYPHS = {
    'K': ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    'A': ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    'V': ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'X': ["10001", "10001", "01010", "00100", "01010", "10001", "10001"],
}


def pixel(x, y):
    """Colour at (x, y), y counted from the top."""
    # Dark blue to teal gradient background.
    t = x / (WIDTH - 1)
    background = (int(20 + 10 * t), int(30 + 90 * t), int(70 + 90 * t))
    text = "KALVEX"
    scale = 6
    text_width = len(text) * 6 * scale - scale
    left = (WIDTH - text_width) // 2
    top = (HEIGHT - 7 * scale) // 2
    gx, gy = (x - left) // scale, (y - top) // scale
    if 0 <= gy < 7 and gx >= 0:
        index, column = divmod(gx, 6)
        if index < len(text) and column < 5 and GLYPHS[text[index]][gy][column] == "1":
            return (245, 240, 225)
    if y in (top + 7 * scale + 6, top + 7 * scale + 7) and left <= x < left + text_width:
        return (240, 150, 40)
    return background


def main(path):
    row_bytes = (WIDTH * 3 + 3) & ~3
    data = bytearray()
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up rows
        row = bytearray()
        for x in range(WIDTH):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += bytes(row_bytes - len(row))
        data += row
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/splash.bmp")
