#!/usr/bin/env python3
"""Writes the panel's two generated sources: the logo banner (LW/generated/logo.cpp)
and the preview's fixed table of 200 stars (LW/generated/preview_stars.cpp).

The logo: the wordmark VANTREL, in clean strokes with a soft glow, on a band
of night sky with stars. The plug-in only holds bytes, so the picture is
compiled in: 16 header bytes (width and height as 32-bit little-endian
numbers, then eight zeros) and 292 x 61 pixels of blue, green, red, rows
bottom first.

The preview stars are (x, y, luminance, colour): x and y as fractions of the
area (0 the left edge and the top row), luminance linear, colour 0 yellow to
1 blue. The first three stars are given; the other 197 are made here so that
the table spans x -0.0843 to 1.0989, y -0.0912 to 1.0989, luminance 0.000104
to 0.99983 and colour 0.006 to 0.9986; 68 stars have their centre beyond an
edge, so that spots are cut by the border as in a real frame; the
luminances lie evenly in their logarithm over four decades, 55, 52, 47 and
46 stars from the brightest decade down (so that 154 stars reach the default
threshold 0.001); the table is not sorted.

    python3 scripts/make_panel_data.py [--png LOGO.png] [LOGO.cpp STARS.cpp]

--png also writes the logo as a PNG to look at. Only the Python standard
library is used, and the random numbers come from our own generator, so
every run writes the same bytes.
"""
import math
import struct
import sys
import zlib

W, H = 292, 61


class Rng:
    """xorshift32: the same numbers on every Python."""

    def __init__(self, seed):
        self.s = seed

    def next(self):
        s = self.s
        s ^= (s << 13) & 0xFFFFFFFF
        s ^= s >> 17
        s ^= (s << 5) & 0xFFFFFFFF
        self.s = s
        return s / 4294967296.0

    def uniform(self, lo, hi):
        return lo + (hi - lo) * self.next()

    def shuffle(self, items):
        for i in range(len(items) - 1, 0, -1):
            j = int(self.next() * (i + 1))
            items[i], items[j] = items[j], items[i]



# Letters as strokes in a unit box: x 0..1 left to right, y 0..1 top to bottom.
GLYPHS = {
    "V": [[(0.0, 0.0), (0.5, 1.0), (1.0, 0.0)]],
    "A": [[(0.0, 1.0), (0.5, 0.0), (1.0, 1.0)], [(0.22, 0.62), (0.78, 0.62)]],
    "N": [[(0.0, 1.0), (0.0, 0.0), (1.0, 1.0), (1.0, 0.0)]],
    "T": [[(0.0, 0.0), (1.0, 0.0)], [(0.5, 0.0), (0.5, 1.0)]],
    "R": [[(0.0, 1.0), (0.0, 0.0), (0.62, 0.0)]
          + [(0.62 + 0.27 * math.sin(a * math.pi / 8), 0.26 - 0.26 * math.cos(a * math.pi / 8))
             for a in range(1, 8)]
          + [(0.62, 0.52), (0.0, 0.52)], [(0.5, 0.52), (0.95, 1.0)]],
    "E": [[(0.9, 0.0), (0.0, 0.0), (0.0, 1.0), (0.9, 1.0)], [(0.0, 0.5), (0.75, 0.5)]],
    "L": [[(0.0, 0.0), (0.0, 1.0), (0.85, 1.0)]],
}
WIDTHS = {"V": 0.95, "A": 0.95, "N": 0.85, "T": 0.85, "R": 0.8, "E": 0.72, "L": 0.72}


def segments(word, left, top, height, spacing):
    segs = []
    x = left
    for ch in word:
        w = WIDTHS[ch] * height
        for stroke in GLYPHS[ch]:
            pts = [(x + px * w, top + py * height) for px, py in stroke]
            segs += list(zip(pts, pts[1:]))
        x += w + spacing
    return segs, x - spacing - left


def distance(px, py, seg):
    (ax, ay), (bx, by) = seg
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def wordmark():
    """Coverage of the letters (0..1) and of their glow, per pixel."""
    height, spacing, stroke = 30.0, 9.0, 3.4
    _, width = segments("VANTREL", 0, 0, height, spacing)
    segs, _ = segments("VANTREL", (W - width) / 2, (H - height) / 2, height, spacing)
    ink = [[0.0] * W for _ in range(H)]
    glow = [[0.0] * W for _ in range(H)]
    n = 4  # samples per pixel side
    for y in range(H):
        for x in range(W):
            near = [s for s in segs
                    if min(s[0][0], s[1][0]) - 12 <= x <= max(s[0][0], s[1][0]) + 12
                    and min(s[0][1], s[1][1]) - 12 <= y <= max(s[0][1], s[1][1]) + 12]
            if not near:
                continue
            d0 = min(distance(x + 0.5, y + 0.5, s) for s in near)
            glow[y][x] = math.exp(-(d0 / 6.0) ** 2)
            if d0 > stroke:
                continue
            hits = 0
            for j in range(n):
                for i in range(n):
                    sx, sy = x + (i + 0.5) / n, y + (j + 0.5) / n
                    if min(distance(sx, sy, s) for s in near) <= stroke / 2:
                        hits += 1
            ink[y][x] = hits / (n * n)
    return ink, glow


def sky():
    """The band: deep blue, lighter towards the middle, with stars."""
    rng = Rng(0x5EED1994)
    img = []
    for y in range(H):
        row = []
        for x in range(W):
            t = abs(y - H / 2) / (H / 2)
            u = x / (W - 1)
            base = 1.0 - 0.55 * t * t
            row.append([0.004 + 0.010 * base + 0.006 * u, 0.007 + 0.016 * base,
                        0.030 + 0.060 * base - 0.012 * u])
        img.append(row)
    for _ in range(140):
        cx, cy = rng.next() * W, rng.next() * H
        peak = 0.08 + 0.9 * rng.next() ** 4
        sigma = 0.45 + 0.5 * peak
        warm = rng.next()
        colour = (0.85 + 0.15 * warm, 0.9, 1.0 - 0.2 * warm)
        for y in range(max(0, int(cy) - 3), min(H, int(cy) + 4)):
            for x in range(max(0, int(cx) - 3), min(W, int(cx) + 4)):
                r2 = (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2
                a = peak * math.exp(-r2 / (2 * sigma * sigma))
                for c in range(3):
                    img[y][x][c] += a * colour[c]
    return img


def srgb(v):
    v = max(0.0, min(1.0, v))
    v = 12.92 * v if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055
    return int(v * 255 + 0.5)


def picture():
    """Rows top first, pixels as (red, green, blue) bytes."""
    img = sky()
    ink, glow = wordmark()
    letter = (0.92, 0.95, 1.0)
    halo = (0.10, 0.22, 0.55)
    rows = []
    for y in range(H):
        row = []
        for x in range(W):
            px = img[y][x]
            a = ink[y][x]
            out = [px[c] * (1 - a) + letter[c] * a + halo[c] * 0.35 * glow[y][x] * (1 - a)
                   for c in range(3)]
            row.append(tuple(srgb(v) for v in out))
        rows.append(row)
    return rows


def logo_bytes(rows):
    data = struct.pack("<ii", W, H) + bytes(8)
    for row in reversed(rows):
        data += bytes(b for r, g, bl in row for b in (bl, g, r))
    assert len(data) == 16 + W * H * 3
    return data


def logo_source(data):
    lines = [
        "// Generated by scripts/make_panel_data.py; do not edit.",
        "// clang-format off",
        '#include "LW/panel_data.h"',
        "",
        "const unsigned char vantrel_logo[kLogoBytes] = {",
    ]
    for i in range(0, len(data), 24):
        lines.append("".join("%d," % b for b in data[i:i + 24]))
    lines.append("};")
    return "\n".join(lines) + "\n"


def png(rows):
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


GIVEN = [
    (0.359694, 0.09942, 0.07894, 0.714691),
    (0.360365, 0.797409, 0.013379, 0.667645),
    (0.432467, 0.889253, 0.922629, 0.131659),
]
X_RANGE = (-0.0843, 1.0989)
Y_RANGE = (-0.0912, 1.0989)
LUM_RANGE = (0.000104, 0.99983)
COLOUR_RANGE = (0.006, 0.9986)
OUTSIDE = 68
DECADES = [55, 52, 47, 46]  # stars per decade, brightest first


def decade(lum):
    return min(3, int(math.floor(-math.log10(lum))))


def luminances():
    """Evenly in the logarithm within each decade, the given stars' places left out."""
    given = [0] * 4
    for star in GIVEN:
        given[decade(star[2])] += 1
    out = []
    for d, count in enumerate(DECADES):
        n = count - given[d]
        top, bottom = -d, -d - 1
        if d == 0:  # the brightest star is the table's maximum
            top = math.log10(LUM_RANGE[1])
            out += [10 ** (top - k * (top - bottom) / n) for k in range(n)]
        elif d == 3:  # the faintest star is the table's minimum
            bottom = math.log10(LUM_RANGE[0])
            out += [10 ** (bottom + k * (top - bottom) / n) for k in range(n)]
        else:
            out += [10 ** (top - (k + 0.5) * (top - bottom) / n) for k in range(n)]
    return out


def positions(rng, count):
    """count - OUTSIDE centres inside the area and OUTSIDE beyond one of its
    edges; the four extremes of the ranges are among them."""
    inside = [(rng.uniform(0, 1), rng.uniform(0, 1)) for _ in range(count - OUTSIDE)]
    outside = [(X_RANGE[0], rng.uniform(0, 1)), (X_RANGE[1], rng.uniform(0, 1)),
               (rng.uniform(0, 1), Y_RANGE[0]), (rng.uniform(0, 1), Y_RANGE[1])]
    while len(outside) < OUTSIDE:
        edge = len(outside) % 4
        along = rng.uniform(X_RANGE[0], X_RANGE[1])
        if edge == 0:
            outside.append((rng.uniform(X_RANGE[0], -0.001), rng.uniform(Y_RANGE[0], Y_RANGE[1])))
        elif edge == 1:
            outside.append((rng.uniform(1.001, X_RANGE[1]), rng.uniform(Y_RANGE[0], Y_RANGE[1])))
        elif edge == 2:
            outside.append((along, rng.uniform(Y_RANGE[0], -0.001)))
        else:
            outside.append((along, rng.uniform(1.001, Y_RANGE[1])))
    return inside + outside


def colours(rng, count):
    out = [COLOUR_RANGE[0], COLOUR_RANGE[1]]
    out += [rng.uniform(COLOUR_RANGE[0], COLOUR_RANGE[1]) for _ in range(count - 2)]
    return out


def table():
    rng = Rng(0x20061994)
    lums = luminances()
    n = len(lums)
    assert n + len(GIVEN) == 200
    places = positions(rng, n)
    cols = colours(rng, n)
    rng.shuffle(places)
    rng.shuffle(cols)
    made = [(x, y, lum, c) for (x, y), lum, c in zip(places, lums, cols)]
    rng.shuffle(made)
    return GIVEN + made


def stars_source(stars):
    lines = [
        "// Generated by scripts/make_panel_data.py; do not edit.",
        "// clang-format off",
        '#include "LW/panel_data.h"',
        "",
        "// x, y (fractions of the area, 0 the left edge and the top row), luminance, colour.",
        "const PreviewStar preview_stars[kPreviewStars] = {",
    ]
    for s in stars:
        lines.append("    {%sf, %sf, %sf, %sf}," % tuple("%.6g" % v for v in s))
    lines.append("};")
    return "\n".join(lines) + "\n"


def main(args):
    png_path = None
    if len(args) >= 2 and args[0] == "--png":
        png_path = args[1]
        args = args[2:]
    logo_out, stars_out = (args if args else
                           ("LW/generated/logo.cpp", "LW/generated/preview_stars.cpp"))
    rows = picture()
    with open(logo_out, "w") as f:
        f.write(logo_source(logo_bytes(rows)))
    with open(stars_out, "w") as f:
        f.write(stars_source(table()))
    if png_path:
        with open(png_path, "wb") as f:
            f.write(png(rows))


if __name__ == "__main__":
    main(sys.argv[1:])
