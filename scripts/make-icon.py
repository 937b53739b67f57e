#!/usr/bin/env python3
"""Draws the program's icon (a database drum with a green arrow into a folder tray)
and writes res/bakwyn.ico with 16, 32 and 48 pixel images. Run it again after a change."""
import struct, sys, os

def draw(size):
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]
    s = size / 32.0
    def put(x, y, c):
        if 0 <= x < size and 0 <= y < size:
            px[y][x] = c
    blue, dark, light = (40, 96, 196, 255), (20, 50, 120, 255), (120, 170, 240, 255)
    green = (30, 160, 60, 255)
    # drum: x 4..22, y 4..26, elliptic caps
    x0, x1, y0, y1 = int(4 * s), int(22 * s), int(5 * s), int(25 * s)
    cx, rx, ry = (x0 + x1) / 2.0, (x1 - x0) / 2.0, max(1.0, 3 * s)
    for y in range(size):
        for x in range(size):
            dx = (x + 0.5 - cx) / rx
            if abs(dx) > 1:
                continue
            top = y0 + ry - ry * (1 - dx * dx) ** 0.5
            bottom = y1 - ry + ry * (1 - dx * dx) ** 0.5
            if top <= y + 0.5 <= bottom:
                put(x, y, blue if dx < 0.4 else dark)
            cap = y0 + ry + ry * (1 - dx * dx) ** 0.5
            if top <= y + 0.5 <= cap:
                put(x, y, light)
    # green arrow pointing down-right, into the lower right corner
    for i in range(int(14 * s)):
        for w in range(max(1, int(2 * s))):
            put(int(16 * s) + i // 2 + w, int(12 * s) + i, green)
    tip_x, tip_y = int(23 * s), int(26 * s)
    for k in range(int(6 * s)):
        for j in range(k + 1):
            put(tip_x - k + j, tip_y - 6 * s + k if False else int(tip_y - k), green)
            put(tip_x + j - k, tip_y, green)
    for k in range(int(7 * s)):
        put(tip_x, tip_y - k, green)
        put(tip_x - k, tip_y, green)
    return px

def bmp_entry(size):
    px = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b''.join(bytes((b, g, r, a)) for y in reversed(range(size)) for (r, g, b, a) in px[y])
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)
    return header + rows + mask

def main(out):
    sizes = [16, 32, 48]
    images = [bmp_entry(sz) for sz in sizes]
    data = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for sz, img in zip(sizes, images):
        data += struct.pack('<BBBBHHII', sz, sz, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    data += b''.join(images)
    with open(out, 'wb') as f:
        f.write(data)

if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', 'res', 'bakwyn.ico'))
