#!/usr/bin/env python3
"""Draws the window's skin: four 8-bit BMP pictures sharing one palette.

    background.bmp  478 x 401  the status panel (its palette is the window's)
    button.bmp      221 x 130  five start/stop faces of 26 rows, top to bottom:
                               0 idle pressed, 1 idle, 2 disabled,
                               3 on the air pressed, 4 on the air
    lamp.bmp         19 x 30   three directory lamp frames of 10 rows:
                               0 dark, 1 lit, 2 warning
    meter.bmp       452 x 18   the level meter, fully lit

Run it from anywhere: python3 resources/make_skin.py [OUT-DIR]
(default: resources/skin beside this script). Standard library only.
The texts of the panel are drawn by the program in yellow and red, and
their captions in pale cyan, so the panel keeps to dark blues and greys
where texts go.
"""
import os
import struct
import sys

W, H = 478, 401


def build_palette():
    pal = []
    # 0..63: night blue ramp (panel background)
    for i in range(64):
        pal.append((4 + i // 3, 8 + i // 2, 28 + i))
    # 64..127: steel grey ramp (frames, bevels, disabled)
    for i in range(64):
        v = 40 + i * 3
        pal.append((v, v + 4, v + 12))
    # 128..159: green ramp, 160..191: amber ramp, 192..223: red ramp
    for i in range(32):
        pal.append((10 + i * 2, 60 + i * 6, 30 + i * 2))
    for i in range(32):
        pal.append((90 + i * 5, 60 + i * 4, 10 + i))
    for i in range(32):
        pal.append((80 + i * 5, 10 + i, 14 + i))
    # 224..255: cyan accents
    for i in range(32):
        pal.append((10 + i * 2, 70 + i * 5, 90 + i * 5))
    return pal


BLUE, STEEL, GREEN, AMBER, RED, CYAN = 0, 64, 128, 160, 192, 224


def write_bmp(path, width, height, rows, palette):
    """rows: list of `height` lists of palette indices, top row first."""
    stride = (width + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):  # BMP rows go bottom-up
        pixels += bytes(row) + bytes(stride - width)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    offset = 14 + 40 + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels),
                       2835, 2835, 256, 0)
    with open(path + ".tmp", "wb") as out:
        out.write(header + info + table + pixels)
    os.replace(path + ".tmp", path)


def canvas(width, height, index):
    return [[index] * width for _ in range(height)]


def fill(rows, x0, y0, x1, y1, index):
    for y in range(max(0, y0), min(len(rows), y1)):
        for x in range(max(0, x0), min(len(rows[0]), x1)):
            rows[y][x] = index


def bevel_box(rows, x0, y0, x1, y1, inner, sunken=True):
    """A box with a one-pixel bevel: light and dark edges swap when sunken."""
    light, dark = STEEL + 50, STEEL + 4
    top, bottom = (dark, light) if sunken else (light, dark)
    fill(rows, x0, y0, x1, y1, inner)
    fill(rows, x0, y0, x1, y0 + 1, top)
    fill(rows, x0, y0, x0 + 1, y1, top)
    fill(rows, x0, y1 - 1, x1, y1, bottom)
    fill(rows, x1 - 1, y0, x1, y1, bottom)


def disc(rows, cx, cy, r, index, rim=None):
    for y in range(len(rows)):
        for x in range(len(rows[0])):
            d = (x - cx) ** 2 + (y - cy) ** 2
            if d <= r * r:
                rows[y][x] = index
            elif rim is not None and d <= (r + 1) ** 2:
                rows[y][x] = rim


def background():
    rows = canvas(W, H, BLUE)
    for y in range(H):  # a soft vertical gradient
        shade = BLUE + 6 + (y * 10) // H
        for x in range(W):
            rows[y][x] = shade
    # title band with a cyan hairline
    fill(rows, 0, 0, W, 40, BLUE + 24)
    fill(rows, 0, 40, W, 41, CYAN + 20)
    # sunken well for the directory lamp at (10, 13)
    bevel_box(rows, 7, 10, 32, 26, BLUE + 2)
    # clock well (125.., 58..80) and the mode texts beside it
    bevel_box(rows, 120, 55, 476, 80, BLUE + 3)
    # "BROADCASTING" and start/elapsed wells
    bevel_box(rows, 10, 86, 300, 130, BLUE + 2)
    bevel_box(rows, 368, 86, 476, 138, BLUE + 3)
    # level meter groove at (12, 150), 452 x 18
    bevel_box(rows, 10, 148, 466, 170, BLUE)
    # rate and audio type (their captions left of the well), listeners and
    # busy count (captions inside the well, left of the numbers at x 380)
    bevel_box(rows, 132, 180, 300, 236, BLUE + 3)
    bevel_box(rows, 308, 180, 476, 230, BLUE + 3)
    # a row of small cyan dots: our station's mark, after the lamp's caption
    for i in range(12):
        disc_x = 112 + i * 12
        fill(rows, disc_x, 18, disc_x + 4, 22, CYAN + 8 + i * 2)
    # now-playing panel (20, 275) .. (460, 345)
    bevel_box(rows, 12, 268, 466, 352, BLUE + 2)
    # the divider, below the Icecast line drawn at (20, 245)
    fill(rows, 12, 264, 466, 265, CYAN + 12)
    # the well of the start/stop button at (136, 362), 221 x 26
    bevel_box(rows, 132, 358, 361, 392, STEEL + 2)
    return rows


def button():
    fw, fh = 221, 26
    rows = canvas(fw, fh * 5, STEEL)
    faces = [  # (body, symbol colour, symbol, pressed)
        (STEEL + 20, GREEN + 31, "play", True),
        (STEEL + 28, GREEN + 28, "play", False),
        (STEEL + 12, STEEL + 24, "play", False),
        (STEEL + 20, RED + 31, "stop", True),
        (STEEL + 28, RED + 26, "stop", False),
    ]
    for k, (body, colour, symbol, pressed) in enumerate(faces):
        frame = canvas(fw, fh, body)
        bevel_box(frame, 0, 0, fw, fh, body, sunken=pressed)
        shift = 1 if pressed else 0
        cx, cy = fw // 2 + shift, fh // 2 + shift
        if symbol == "play":  # a triangle pointing right
            for dx in range(14):
                half = 7 - dx // 2
                fill(frame, cx - 7 + dx, cy - half, cx - 6 + dx, cy + half, colour)
        else:  # a square
            fill(frame, cx - 6, cy - 6, cx + 7, cy + 7, colour)
        # small grip lines at both ends
        for gx in (12, 16, fw - 19, fw - 15):
            fill(frame, gx + shift, 7 + shift, gx + 2 + shift, fh - 7 + shift, body - 10)
        rows[k * fh:(k + 1) * fh] = frame
    return rows


def lamp():
    rows = []
    for core, rim in ((STEEL + 6, STEEL + 2), (GREEN + 31, GREEN + 8), (AMBER + 31, AMBER + 6)):
        frame = canvas(19, 10, BLUE + 2)
        disc(frame, 9, 4, 3, core, rim)
        rows += frame
    return rows


def meter():
    rows = canvas(452, 18, BLUE)
    for x in range(0, 452, 4):  # segments of 3 pixels with a 1-pixel gap
        t = x / 452
        colour = GREEN + 20 + int(t * 11) if t < 0.6 else AMBER + 24 if t < 0.85 else RED + 28
        fill(rows, x, 2, x + 3, 16, colour)
    return rows


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "skin")
    os.makedirs(out, exist_ok=True)
    palette = build_palette()
    assert len(palette) == 256
    for name, rows in (("background", background()), ("button", button()),
                       ("lamp", lamp()), ("meter", meter())):
        write_bmp(os.path.join(out, name + ".bmp"), len(rows[0]), len(rows), rows, palette)


if __name__ == "__main__":
    main()
