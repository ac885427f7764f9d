#!/usr/bin/env python3
"""Draws the player's twelve 16 x 16 button pictures and writes them as packed pictures.

Each picture is 32-bit (B, G, R, A, rows top-down) and packed by method 7: one zlib stream of the
rows, the packed length in both the size and the parameter field of the 24-byte header. The
output, button_pictures.inc beside this script, is checked in; run this script again after
changing a glyph:  python3 player/res/make_button_pictures.py
"""
import os
import struct
import zlib

SIZE = 16
SUB = 4  # samples per pixel side: the edges are smoothed by coverage

INK = (44, 62, 96)        # the glyphs: dark slate blue (R, G, B)
FOLDER = (222, 170, 46)   # the open-file folder
FOLDER_EDGE = (150, 104, 20)
INFO = (40, 96, 196)      # the information disc
WHITE = (255, 255, 255)


def tri(p0, p1, p2):
    def inside(x, y):
        def side(a, b):
            return (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0])
        d1, d2, d3 = side(p0, p1), side(p1, p2), side(p2, p0)
        neg = d1 < 0 or d2 < 0 or d3 < 0
        pos = d1 > 0 or d2 > 0 or d3 > 0
        return not (neg and pos)
    return inside


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r0, r1):
    return lambda x, y: r0 * r0 <= (x - cx) ** 2 + (y - cy) ** 2 <= r1 * r1


# Each glyph: shapes painted in order, later ones over earlier ones.
GLYPHS = [
    ("play", [(tri((4, 2), (4, 14), (13, 8)), INK)]),
    ("pause", [(rect(4, 3, 7, 13), INK), (rect(9, 3, 12, 13), INK)]),
    ("stop", [(rect(3.5, 3.5, 12.5, 12.5), INK)]),
    ("open", [(rect(1, 4, 7, 6), FOLDER_EDGE), (rect(1, 5, 15, 14), FOLDER_EDGE),
              (rect(2, 6, 14, 13), FOLDER)]),
    ("frame forward", [(tri((3, 3), (3, 13), (10, 8)), INK), (rect(11, 3, 13, 13), INK)]),
    ("frame back", [(rect(3, 3, 5, 13), INK), (tri((13, 3), (13, 13), (6, 8)), INK)]),
    ("5 seconds forward", [(tri((1, 3), (1, 13), (8, 8)), INK), (tri((8, 3), (8, 13), (15, 8)), INK)]),
    ("5 seconds back", [(tri((8, 3), (8, 13), (1, 8)), INK), (tri((15, 3), (15, 13), (8, 8)), INK)]),
    None,  # 5% forward: no button
    None,  # 5% back: no button
    ("go to start", [(rect(1, 3, 3, 13), INK), (tri((9, 3), (9, 13), (3, 8)), INK),
                     (tri((15, 3), (15, 13), (9, 8)), INK)]),
    ("go to end", [(tri((1, 3), (1, 13), (7, 8)), INK), (tri((7, 3), (7, 13), (13, 8)), INK),
                   (rect(13, 3, 15, 13), INK)]),
    ("file information", [(disc(8, 8, 7), INFO), (rect(7, 7, 9, 12.5), WHITE), (disc(8, 4.8, 1.2), WHITE)]),
    ("program options", [(ring(8, 8, 3.2, 6.2), INK),
                         (rect(7, 0.5, 9, 3), INK), (rect(7, 13, 9, 15.5), INK),
                         (rect(0.5, 7, 3, 9), INK), (rect(13, 7, 15.5, 9), INK),
                         (tri((2.5, 4), (4, 2.5), (5.5, 5.5)), INK), (tri((12, 2.5), (13.5, 4), (10.5, 5.5)), INK),
                         (tri((2.5, 12), (4, 13.5), (5.5, 10.5)), INK), (tri((13.5, 12), (12, 13.5), (10.5, 10.5)), INK)]),
]


def render(shapes):
    """The B, G, R, A bytes of one picture, rows top-down."""
    out = bytearray()
    for py in range(SIZE):
        for px in range(SIZE):
            r = g = b = a = 0
            for sy in range(SUB):
                for sx in range(SUB):
                    x = px + (sx + 0.5) / SUB
                    y = py + (sy + 0.5) / SUB
                    colour = None
                    for inside, c in shapes:
                        if inside(x, y):
                            colour = c
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1
            if a:
                out += bytes((b // a, g // a, r // a, a * 255 // (SUB * SUB)))
            else:
                out += bytes((0, 0, 0, 0))
    return bytes(out)


def blob(pixels):
    packed = zlib.compress(pixels, 9)
    return struct.pack("<6i", SIZE, SIZE, 32, len(packed), len(packed), 7) + packed


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    lines = ["// Made by make_button_pictures.py beside this file: do not edit by hand.",
             "// The packed 16 x 16, 32-bit button pictures of the player's commands (method 7),",
             "// by command index; the two 5 % steps have none."]
    names = []
    for index, glyph in enumerate(GLYPHS):
        if glyph is None:
            names.append("nullptr")
            continue
        name, shapes = glyph
        data = blob(render(shapes))
        ident = "kButton%d" % index
        names.append(ident)
        lines.append("// %s" % name)
        lines.append("alignas(4) constexpr uint8_t %s[%d] = {" % (ident, len(data)))
        for i in range(0, len(data), 16):
            lines.append("    " + ", ".join("0x%02x" % v for v in data[i:i + 16]) + ",")
        lines.append("};")
    lines.append("constexpr const uint8_t* kButtonPictures[%d] = {%s};" % (len(names), ", ".join(names)))
    with open(os.path.join(here, "button_pictures.inc"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
