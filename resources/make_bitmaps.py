#!/usr/bin/env python3
"""Draws the control's bitmaps (8 bits per pixel, 256-colour palette):

  varnel_face.bmp     36 x 33  the face in a designer: a raised grey tile with a beam balance
                               and the letters VN in blue at the lower left
  varnel_toolbox.bmp  16 x 15  the toolbox image: a beam balance in black, grey and yellow
  varnel_logo.bmp     26 x 19  the logo of the About dialog

Usage: make_bitmaps.py [--check] [--png DIR] [--scale N]
  (no option)  writes the .bmp files next to this script
  --check      compares the files next to this script with freshly drawn ones; exit 1 if any
               differs or is missing
  --png DIR    also writes enlarged PNG previews into DIR
"""

import argparse
import os
import struct
import sys
import zlib

# The 16 standard colours, then black up to 256 entries.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
] + [(0, 0, 0)] * 240

BLACK, NAVY, SILVER, GREY, YELLOW, BLUE, WHITE = 0, 4, 7, 8, 11, 12, 15

LETTER_V = ["X...X",
            "X...X",
            "X...X",
            "X...X",
            ".X.X.",
            ".X.X.",
            "..X.."]
LETTER_N = ["X...X",
            "XX..X",
            "X.X.X",
            "X.X.X",
            "X..XX",
            "X...X",
            "X...X"]


class Canvas:
    def __init__(self, width, height, ground):
        self.width = width
        self.height = height
        self.pixels = [[ground] * width for _ in range(height)]

    def set(self, x, y, colour):
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise ValueError("pixel (%d, %d) outside %dx%d" % (x, y, self.width, self.height))
        self.pixels[y][x] = colour

    def hline(self, x0, x1, y, colour):
        for x in range(x0, x1 + 1):
            self.set(x, y, colour)

    def vline(self, x, y0, y1, colour):
        for y in range(y0, y1 + 1):
            self.set(x, y, colour)

    def line(self, x0, y0, x1, y1, colour):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
        err = dx + dy
        while True:
            self.set(x0, y0, colour)
            if (x0, y0) == (x1, y1):
                return
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy

    def glyph(self, rows, x, y, colour):
        for dy, row in enumerate(rows):
            for dx, cell in enumerate(row):
                if cell == "X":
                    self.set(x + dx, y + dy, colour)


def pan(c, hang_x, hang_y, rim_y, half, string, bowl):
    """A pan hanging from (hang_x, hang_y) by two strings, its rim at rim_y."""
    c.line(hang_x, hang_y, hang_x - half, rim_y - 1, string)
    c.line(hang_x, hang_y, hang_x + half, rim_y - 1, string)
    for i, y in enumerate(range(rim_y, rim_y + 3)):
        if half - i >= 1 or i == 0:
            c.hline(hang_x - half + i, hang_x + half - i, y, bowl)


def draw_face():
    c = Canvas(36, 33, SILVER)
    # Raised tile: light edges top and left, dark edges bottom and right.
    c.hline(0, 35, 0, WHITE)
    c.vline(0, 0, 32, WHITE)
    c.hline(1, 34, 1, WHITE)
    c.vline(1, 1, 31, WHITE)
    c.hline(0, 35, 32, BLACK)
    c.vline(35, 0, 32, BLACK)
    c.hline(1, 34, 31, GREY)
    c.vline(34, 1, 31, GREY)
    # The balance: a post on a foot, a pivot, the beam and two pans.
    c.vline(17, 6, 27, GREY)
    c.vline(18, 6, 27, BLACK)
    c.hline(15, 20, 28, BLACK)
    c.hline(16, 19, 27, GREY)
    c.hline(16, 19, 5, BLACK)
    c.hline(17, 18, 4, BLACK)
    c.hline(5, 30, 7, BLACK)
    c.hline(5, 30, 6, BLACK)
    pan(c, 6, 8, 17, 4, GREY, BLACK)
    pan(c, 29, 8, 17, 4, GREY, BLACK)
    # VN at the lower left.
    c.glyph(LETTER_V, 3, 22, BLUE)
    c.glyph(LETTER_N, 9, 22, BLUE)
    return c


def draw_toolbox():
    c = Canvas(16, 15, SILVER)
    c.vline(7, 3, 12, BLACK)
    c.vline(8, 3, 12, BLACK)
    c.hline(7, 8, 2, BLACK)
    c.hline(1, 14, 3, BLACK)
    c.hline(4, 11, 13, GREY)
    c.hline(5, 10, 12, GREY)
    for hang_x in (2, 13):
        c.line(hang_x, 4, hang_x - 2, 7, GREY)
        c.line(hang_x, 4, hang_x + 2, 7, GREY)
        c.hline(hang_x - 2, hang_x + 2, 8, YELLOW)
        c.hline(hang_x - 1, hang_x + 1, 9, YELLOW)
    return c


def draw_logo():
    c = Canvas(26, 19, NAVY)
    c.hline(1, 24, 0, BLUE)
    c.hline(1, 24, 18, BLACK)
    c.vline(0, 1, 17, BLUE)
    c.vline(25, 1, 17, BLACK)
    c.glyph(LETTER_V, 6, 4, WHITE)
    c.glyph(LETTER_N, 14, 4, WHITE)
    c.hline(5, 20, 13, YELLOW)
    return c


def bmp_bytes(c):
    row_size = (c.width + 3) // 4 * 4
    image = bytearray()
    for row in reversed(c.pixels):  # bottom-up
        image += bytes(row) + bytes(row_size - c.width)
    offset = 14 + 40 + 4 * 256
    header = struct.pack("<2sIHHI", b"BM", offset + len(image), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, c.width, c.height, 1, 8, 0, len(image),
                       3780, 3780, 256, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    return header + info + palette + bytes(image)


def png_bytes(c, scale):
    raw = bytearray()
    for row in c.pixels:
        line = bytearray()
        for index in row:
            line += bytes(PALETTE[index]) * scale
        for _ in range(scale):
            raw += b"\0" + line

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    ihdr = struct.pack(">IIBBBBB", c.width * scale, c.height * scale, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


BITMAPS = {
    "varnel_face.bmp": draw_face,
    "varnel_toolbox.bmp": draw_toolbox,
    "varnel_logo.bmp": draw_logo,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--png", metavar="DIR")
    parser.add_argument("--scale", type=int, default=8)
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    failed = False
    for name, draw in BITMAPS.items():
        canvas = draw()
        data = bmp_bytes(canvas)
        path = os.path.join(here, name)
        if args.check:
            try:
                with open(path, "rb") as f:
                    same = f.read() == data
            except OSError:
                same = False
            if not same:
                print("%s differs from what make_bitmaps.py draws" % name, file=sys.stderr)
                failed = True
        else:
            with open(path, "wb") as f:
                f.write(data)
        if args.png:
            os.makedirs(args.png, exist_ok=True)
            with open(os.path.join(args.png, name[:-4] + ".png"), "wb") as f:
                f.write(png_bytes(canvas, args.scale))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
