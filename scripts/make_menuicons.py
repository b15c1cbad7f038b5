#!/usr/bin/env python3
"""Draws the job status icons of the tray menu (src/resources/menuicons/*.png).

Standard library only: each icon is a list of filled shapes on a 64 x 64
canvas, rasterised with 4 x 4 supersampling and written as an RGBA PNG.
Run from anywhere; the files are rewritten in place.
"""
import math
import os
import struct
import zlib

SIZE = 64
SUB = 4
ORANGE = (234, 122, 20)
GREY = (165, 165, 165)
RED = (222, 52, 44)
DARK = (25, 25, 25)


def polygon(points):
    def inside(x, y):
        hit = False
        for (x1, y1), (x2, y2) in zip(points, points[1:] + points[:1]):
            if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                hit = not hit
        return hit
    return inside


def circle(cx, cy, r, inner=0.0):
    return lambda x, y: inner * inner <= (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def sector(cx, cy, r, start, end):
    def inside(x, y):
        if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
            return False
        angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
        return start <= angle <= end
    return inside


def line(points, width):
    def inside(x, y):
        for (x1, y1), (x2, y2) in zip(points, points[1:]):
            dx, dy = x2 - x1, y2 - y1
            t = max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy)))
            if (x - x1 - t * dx) ** 2 + (y - y1 - t * dy) ** 2 <= width * width / 4:
                return True
        return False
    return inside


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


UP = [(32, 5), (55, 30), (41, 30), (41, 46), (23, 46), (23, 30), (9, 30)]
DOWN = [(23, 5), (41, 5), (41, 22), (55, 22), (32, 47), (9, 22), (23, 22)]
BAR = rect(9, 52, 55, 58)
GLASS = [(17, 12), (47, 12), (35, 32), (47, 52), (17, 52), (29, 32)]


def upload(colour):
    return [(polygon(UP), colour), (BAR, colour)]


def download(colour):
    return [(polygon(DOWN), colour), (BAR, colour)]


def rendering(colour):
    return [(circle(32, 32, 29, 23), colour), (sector(32, 32, 17, 0, 270), colour)]


def waiting(colour):
    return [(rect(13, 6, 51, 11), colour), (rect(13, 53, 51, 58), colour), (polygon(GLASS), colour)]


CLOUD = [circle(21, 38, 12), circle(34, 29, 15), circle(47, 39, 11), rect(21, 38, 47, 50)]

ICONS = {
    "uploadingorange": upload(ORANGE),
    "uploadinggrey": upload(GREY),
    # The idle upload: the arrow as an outline only.
    "uploadinggray": [(line(UP + UP[:1], 4), GREY), (BAR, GREY)],
    "uploadedcloud": [(shape, ORANGE) for shape in CLOUD]
    + [(line([(25, 40), (31, 46), (43, 33)], 5), DARK)],
    "renderinggray": rendering(GREY),
    "renderingorange": rendering(ORANGE),
    "waitingorange": waiting(ORANGE),
    "waitingred": waiting(RED),
    "downloadinggrey": download(GREY),
    "downloadingorange": download(ORANGE),
    "completeorange": [(circle(32, 32, 29), ORANGE), (line([(18, 33), (28, 43), (46, 22)], 7), DARK)],
}


def render(shapes):
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # PNG filter type 0
        for px in range(SIZE):
            r = g = b = a = 0.0
            for inside, colour in shapes:
                hits = sum(
                    inside(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
                    for sx in range(SUB) for sy in range(SUB))
                cover = hits / (SUB * SUB)
                if cover:
                    # Straight alpha "over" compositing.
                    out = cover + a * (1 - cover)
                    r = (colour[0] * cover + r * a * (1 - cover)) / out
                    g = (colour[1] * cover + g * a * (1 - cover)) / out
                    b = (colour[2] * cover + b * a * (1 - cover)) / out
                    a = out
            row += bytes([round(r), round(g), round(b), round(a * 255)])
        rows.append(bytes(row))
    return b"".join(rows)


def png(pixels):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "resources", "menuicons")
    os.makedirs(folder, exist_ok=True)
    for name, shapes in ICONS.items():
        with open(os.path.join(folder, name + ".png"), "wb") as out:
            out.write(png(render(shapes)))


if __name__ == "__main__":
    main()
