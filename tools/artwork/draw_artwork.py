#!/usr/bin/env python3
"""Draws Varnix's pictures: the application icon (32x32 and 16x16, 256
colours) and the About box logo (249x41, 256 colours). Standard library only;
the output is committed under src/app/res/, so the build never runs this.

    python3 tools/artwork/draw_artwork.py [output directory]
"""
import pathlib
import struct
import sys

# 5x7 glyphs for the few letters the logo needs.
GLYPHS = {
    "V": ["X...X", "X...X", "X...X", "X...X", "X...X", ".X.X.", "..X.."],
    "a": [".....", ".....", ".XXX.", "....X", ".XXXX", "X...X", ".XXXX"],
    "r": [".....", ".....", "X.XX.", "XX..X", "X....", "X....", "X...."],
    "n": [".....", ".....", "X.XX.", "XX..X", "X...X", "X...X", "X...X"],
    "i": ["..X..", ".....", ".XX..", "..X..", "..X..", "..X..", ".XXX."],
    "x": [".....", ".....", "X...X", ".X.X.", "..X..", ".X.X.", "X...X"],
    "S": [".XXXX", "X....", "X....", ".XXX.", "....X", "....X", "XXXX."],
    "M": ["X...X", "XX.XX", "X.X.X", "X.X.X", "X...X", "X...X", "X...X"],
    "D": ["XXXX.", "X...X", "X...X", "X...X", "X...X", "X...X", "XXXX."],
    "E": ["XXXXX", "X....", "X....", "XXXX.", "X....", "X....", "XXXXX"],
    "R": ["XXXX.", "X...X", "X...X", "XXXX.", "X.X..", "X..X.", "X...X"],
    " ": ["....."] * 7,
}

WHITE = (255, 255, 255)
SHADOW = (8, 24, 64)
PAPER = (250, 246, 232)
FOLD = (150, 140, 120)
ORANGE = (255, 170, 40)


class Canvas:
    def __init__(self, w, h, fill=(0, 0, 0)):
        self.w, self.h = w, h
        self.px = [[fill] * w for _ in range(h)]
        self.opaque = [[True] * w for _ in range(h)]

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, c)

    def line(self, x0, y0, x1, y1, c):
        n = max(abs(x1 - x0), abs(y1 - y0), 1)
        for i in range(n + 1):
            self.set(round(x0 + (x1 - x0) * i / n), round(y0 + (y1 - y0) * i / n), c)

    def text(self, x, y, s, scale, c):
        for ch in s:
            for gy, row in enumerate(GLYPHS[ch]):
                for gx, bit in enumerate(row):
                    if bit == "X":
                        self.rect(x + gx * scale, y + gy * scale,
                                  x + gx * scale + scale - 1, y + gy * scale + scale - 1, c)
            x += 6 * scale


def blend(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def quantised(c, steps=24):
    # Gradients in a few fixed steps keep every picture within 256 colours.
    q = 256 // steps
    return tuple(min(255, (v // q) * q + q // 2) for v in c)


def envelope(cv, x0, y0, x1, y1):
    """A letter: the product is about text messages."""
    cv.rect(x0, y0, x1, y1, PAPER)
    for x in range(x0, x1 + 1):
        cv.set(x, y0, FOLD)
        cv.set(x, y1, FOLD)
    for y in range(y0, y1 + 1):
        cv.set(x0, y, FOLD)
        cv.set(x1, y, FOLD)
    mx, my = (x0 + x1) // 2, (y0 + y1) // 2 + 1
    cv.line(x0, y0, mx, my, FOLD)
    cv.line(x1, y0, mx, my, FOLD)


def signal_bars(cv, x, base, count, width, step, c):
    for i in range(count):
        cv.rect(x + i * (width + 1), base - (i + 1) * step + 1, x + i * (width + 1) + width - 1, base, c)


def draw_icon(size):
    cv = Canvas(size, size)
    top, bottom = (70, 140, 235), (12, 44, 120)
    r = 4 if size == 32 else 2
    for y in range(size):
        for x in range(size):
            cv.set(x, y, quantised(blend(top, bottom, y / (size - 1))))
            # Rounded corners are transparent.
            cx = min(max(x, r), size - 1 - r)
            cy = min(max(y, r), size - 1 - r)
            if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
                cv.opaque[y][x] = False
    if size == 32:
        envelope(cv, 4, 11, 25, 26)
        signal_bars(cv, 19, 8, 4, 2, 2, ORANGE)
    else:
        envelope(cv, 2, 6, 12, 13)
        signal_bars(cv, 10, 4, 2, 2, 2, ORANGE)
    return cv


def draw_logo():
    w, h = 249, 41
    cv = Canvas(w, h)
    left, right = (10, 36, 100), (60, 120, 210)
    for y in range(h):
        for x in range(w):
            c = blend(left, right, x / (w - 1))
            c = blend(c, (0, 0, 0), 0.25 * y / (h - 1))
            cv.set(x, y, quantised(c))
    icon = draw_icon(32)
    for y in range(32):
        for x in range(32):
            if icon.opaque[y][x]:
                cv.set(6 + x, 4 + y, icon.px[y][x])
    cv.text(51, 7, "Varnix", 3, SHADOW)
    cv.text(49, 5, "Varnix", 3, WHITE)
    cv.text(51, 30, "SMS DDE SERVER", 1, (200, 220, 255))
    signal_bars(cv, 212, 33, 5, 4, 5, ORANGE)
    return cv


def palette_of(*canvases):
    colours = sorted({c for cv in canvases for row in cv.px for c in row})
    if len(colours) > 256:
        raise SystemExit(f"{len(colours)} colours, more than 256")
    return colours + [(0, 0, 0)] * (256 - len(colours))


def dib(cv, pal, with_mask):
    """BITMAPINFOHEADER + palette + bottom-up 8-bit rows (+ AND mask)."""
    index = {c: i for i, c in enumerate(pal)}
    stride = (cv.w + 3) & ~3
    pixels = bytearray()
    for y in reversed(range(cv.h)):
        row = bytes(index[cv.px[y][x]] for x in range(cv.w))
        pixels += row + b"\0" * (stride - cv.w)
    mask = bytearray()
    if with_mask:
        mstride = ((cv.w + 31) // 32) * 4
        for y in reversed(range(cv.h)):
            bits = bytearray(mstride)
            for x in range(cv.w):
                if not cv.opaque[y][x]:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
    height = cv.h * 2 if with_mask else cv.h
    header = struct.pack("<IiiHHIIiiII", 40, cv.w, height, 1, 8, 0,
                         len(pixels) + len(mask), 2835, 2835, 256, 0)
    # Transparent pixels are black in the colour plane (AND 1, XOR 0).
    if with_mask:
        black = pal.index((0, 0, 0)) if (0, 0, 0) in pal else None
        assert black is not None
        for y in range(cv.h):
            for x in range(cv.w):
                if not cv.opaque[y][x]:
                    pixels[(cv.h - 1 - y) * stride + x] = black
    quads = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in pal)
    return header + quads + bytes(pixels) + bytes(mask)


def write_ico(path, icons):
    images = []
    for cv in icons:
        pal = palette_of(cv)
        images.append((cv, dib(cv, pal, True)))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for cv, data in images:
        out += struct.pack("<BBBBHHII", cv.w, cv.h, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    path.write_bytes(out)


def write_bmp(path, cv):
    data = dib(cv, palette_of(cv), False)
    offset = 14 + 40 + 256 * 4
    path.write_bytes(struct.pack("<2sIHHI", b"BM", 14 + len(data), 0, 0, offset) + data)


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else \
        pathlib.Path(__file__).resolve().parents[2] / "src" / "app" / "res"
    out.mkdir(parents=True, exist_ok=True)
    write_ico(out / "Varnix.ico", [draw_icon(32), draw_icon(16)])
    write_bmp(out / "logo.bmp", draw_logo())


if __name__ == "__main__":
    main()
