#!/usr/bin/env python3
"""Draws the program's icons (a database drum with a green arrow into a folder tray;
for the tray after a failed backup, the same drum with a red disc and a white bar)
and writes res/bakwyn.ico and res/bakwyn-failed.ico with 16, 32 and 48 pixel images.
Run it again after a change."""
import struct, sys, os

def draw(size, failed=False):
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
    if failed:
        # a red disc with a white bar at the lower right: the last backup failed
        red, white = (210, 30, 30, 255), (255, 255, 255, 255)
        cx, cy, r = 22 * s, 22 * s, 9.5 * s
        for y in range(size):
            for x in range(size):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r:
                    put(x, y, red)
        for y in range(int(cy - 5 * s), int(cy + 5 * s) + 1):
            for x in range(int(cx - 1.5 * s), int(cx + 1.5 * s) + 1):
                if abs(y + 0.5 - cy) <= 5 * s and not (cy + 2 * s < y + 0.5 < cy + 3.5 * s):
                    put(x, y, white)
        return px
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

def bmp_entry(size, failed):
    px = draw(size, failed)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b''.join(bytes((b, g, r, a)) for y in reversed(range(size)) for (r, g, b, a) in px[y])
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)
    return header + rows + mask

def write(out, failed):
    sizes = [16, 32, 48]
    images = [bmp_entry(sz, failed) for sz in sizes]
    data = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for sz, img in zip(sizes, images):
        data += struct.pack('<BBBBHHII', sz, sz, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    data += b''.join(images)
    with open(out, 'wb') as f:
        f.write(data)

if __name__ == '__main__':
    res = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', 'res')
    write(os.path.join(res, 'bakwyn.ico'), False)
    write(os.path.join(res, 'bakwyn-failed.ico'), True)
