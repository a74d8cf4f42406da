#!/usr/bin/env python3
"""Draws the installer window's background picture (bitmap 103) as a 24-bit BMP.

Deterministic: the same bytes on every run. A deep blue to navy gradient with a soft light
behind the product name, a faint diagonal line pattern and a quiet rising chart line, all dark
enough that the window's light grey texts (0xE7E7E7) keep a high contrast everywhere.
Usage: draw_background.py OUTPUT.bmp
"""
import math
import struct
import sys

WIDTH = 467
HEIGHT = 320

TOP_LEFT = (20, 52, 104)      # deep blue
BOTTOM_RIGHT = (6, 15, 38)    # navy
GLOW_CENTRE = (340.0, 40.0)   # behind the product name
GLOW_RADIUS = 260.0
GLOW_COLOUR = (14, 30, 52)    # added at the centre, fading out
LINE_COLOUR = (120, 170, 230)
CHART_COLOUR = (150, 200, 255)

# A rising line with small setbacks, crossing the lower half of the picture.
CHART = [(-10, 252), (40, 246), (85, 254), (135, 228), (185, 236), (240, 204),
         (290, 214), (340, 176), (390, 186), (440, 150), (480, 140)]


def lerp(a, b, t):
    return a + (b - a) * t


def base_colour(x, y):
    t = min(1.0, max(0.0, 0.62 * x / (WIDTH - 1) + 0.38 * y / (HEIGHT - 1)))
    t = t * t * (3 - 2 * t)  # smoothstep: a calm, even transition
    colour = [lerp(TOP_LEFT[i], BOTTOM_RIGHT[i], t) for i in range(3)]
    dx, dy = x - GLOW_CENTRE[0], (y - GLOW_CENTRE[1]) * 1.4
    g = max(0.0, 1.0 - math.hypot(dx, dy) / GLOW_RADIUS)
    g = g * g
    return [colour[i] + GLOW_COLOUR[i] * g for i in range(3)]


def blend(pixel, colour, alpha):
    for i in range(3):
        pixel[i] = pixel[i] + (colour[i] - pixel[i]) * alpha


def segment_distance(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)
    t = min(1.0, max(0.0, t))
    return math.hypot(px - (ax + t * vx), py - (ay + t * vy))


def chart_height(x):
    """y of the chart line at column x (linear between the points)."""
    for (ax, ay), (bx, by) in zip(CHART, CHART[1:]):
        if ax <= x <= bx:
            return lerp(ay, by, (x - ax) / (bx - ax))
    return CHART[-1][1]


def draw():
    pixels = [[base_colour(x, y) for x in range(WIDTH)] for y in range(HEIGHT)]

    # Parallel diagonal hairlines in the right half, fading towards the left.
    spacing, slope = 22.0, 0.58
    for y in range(HEIGHT):
        for x in range(WIDTH):
            u = (x + y / slope) / spacing
            d = abs(u - round(u)) * spacing * math.sin(math.atan(slope))
            coverage = max(0.0, 1.0 - d / 0.9)
            if coverage:
                fade = min(1.0, max(0.0, (x - 150) / 260.0))
                blend(pixels[y][x], LINE_COLOUR, 0.07 * coverage * fade)

    # The chart: a faint area under the line, the line itself and its points.
    for x in range(WIDTH):
        top = chart_height(x)
        for y in range(max(0, int(top)), HEIGHT):
            depth = (y - top) / (HEIGHT - top + 1.0)
            blend(pixels[y][x], CHART_COLOUR, 0.05 * (1.0 - depth))
    segments = list(zip(CHART, CHART[1:]))
    for y in range(120, HEIGHT):
        for x in range(WIDTH):
            d = min(segment_distance(x + 0.5, y + 0.5, ax, ay, bx, by)
                    for (ax, ay), (bx, by) in segments)
            coverage = max(0.0, 1.0 - max(0.0, d - 0.4) / 1.0)
            if coverage:
                blend(pixels[y][x], CHART_COLOUR, 0.17 * coverage)
    for cx, cy in CHART[1:-1]:
        for y in range(cy - 4, cy + 5):
            for x in range(cx - 4, cx + 5):
                d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
                coverage = max(0.0, min(1.0, 2.6 - d))
                if coverage and 0 <= x < WIDTH and 0 <= y < HEIGHT:
                    blend(pixels[y][x], CHART_COLOUR, 0.22 * coverage)
    return pixels


def write_bmp(path, pixels):
    row_size = (WIDTH * 3 + 3) & ~3
    image_size = row_size * HEIGHT
    header = struct.pack('<2sIHHI', b'BM', 14 + 40 + image_size, 0, 0, 14 + 40)
    info = struct.pack('<IiiHHIIiiII', 40, WIDTH, HEIGHT, 1, 24, 0, image_size, 2835, 2835, 0, 0)
    rows = []
    for y in reversed(range(HEIGHT)):  # bottom-up
        row = bytearray()
        for r, g, b in pixels[y]:
            row += bytes((int(round(b)), int(round(g)), int(round(r))))
        row += b'\0' * (row_size - len(row))
        rows.append(bytes(row))
    with open(path, 'wb') as f:
        f.write(header + info + b''.join(rows))


if __name__ == '__main__':
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    write_bmp(sys.argv[1], draw())
