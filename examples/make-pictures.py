#!/usr/bin/env python3
"""Draws the example pictures: deterministic, structured gray scenes (rectangles, discs,
rings and stripes over a smooth background) that give an image target plenty of corners.
Uses only the standard library: the PNG is written by hand (8-bit gray, zlib)."""
import math
import random
import struct
import sys
import zlib
from pathlib import Path


def write_png(path, width, height, pixels):
    raw = bytearray()
    for y in range(height):
        raw.append(0)  # filter: none
        raw.extend(pixels[y * width:(y + 1) * width])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    Path(path).write_bytes(png)


def scene(width, height, seed):
    rng = random.Random(seed)
    img = bytearray(width * height)
    for y in range(height):
        for x in range(width):
            img[y * width + x] = int(110 + 40 * math.sin(x / 57.0) * math.cos(y / 43.0))
    for _ in range(140):
        kind = rng.choice(["rect", "disc", "ring", "stripes"])
        cx, cy = rng.randrange(width), rng.randrange(height)
        size = rng.randrange(8, max(9, min(width, height) // 7))
        tone = rng.randrange(0, 256)
        for y in range(max(0, cy - size), min(height, cy + size)):
            for x in range(max(0, cx - size), min(width, cx + size)):
                dx, dy = x - cx, y - cy
                if kind == "rect":
                    hit = abs(dx) < size * 0.8 and abs(dy) < size * 0.5
                elif kind == "disc":
                    hit = dx * dx + dy * dy < size * size
                elif kind == "ring":
                    r2 = dx * dx + dy * dy
                    hit = (size * 0.6) ** 2 < r2 < size * size
                else:
                    hit = abs(dx) < size and abs(dy) < size and (x // 4) % 2 == 0
                if hit:
                    img[y * width + x] = tone
    return img


def main(out_dir):
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    for name, (w, h, seed) in {"poster.png": (800, 600, 7), "flyer.png": (1024, 768, 11),
                               "card.png": (640, 480, 23)}.items():
        write_png(out / name, w, h, scene(w, h, seed))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).parent / "pictures"))
