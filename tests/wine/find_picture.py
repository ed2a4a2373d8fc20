#!/usr/bin/env python3
"""Looks for the drawn part of a picture inside a screenshot, pixel for pixel.

    find_picture.py SCREENSHOT PICTURE [ROW_FROM ROW_TO]

The picture's non-white pixels, within their bounding box (optionally only
its rows ROW_FROM to ROW_TO), must appear exactly, at one place, in the
screenshot. Prints "found at X Y, drawn from PX PY in the picture" (where
the box's top-left corner lies in each) and exits 0, or exits 1. Both files are read through ImageMagick's convert.
"""
import subprocess
import sys


def load(path):
    data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                          stdout=subprocess.PIPE).stdout
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    pos += 1
    w, h = int(fields[1]), int(fields[2])
    rows = [data[pos + y * w * 3: pos + (y + 1) * w * 3] for y in range(h)]
    return w, h, rows


def main():
    _, _, shot = load(sys.argv[1])
    pw, ph, pic = load(sys.argv[2])
    white = b"\xff\xff\xff"
    inked = [y for y in range(ph) if pic[y] != white * pw]
    if not inked:
        sys.exit("the picture is blank")
    top, bottom = inked[0], inked[-1]
    if len(sys.argv) > 4:
        top, bottom = top + int(sys.argv[3]), top + int(sys.argv[4])
    cols = [x for x in range(pw) if any(pic[y][x * 3:x * 3 + 3] != white for y in range(top, bottom + 1))]
    left, right = cols[0], cols[-1]
    box = [pic[y][left * 3:(right + 1) * 3] for y in range(top, bottom + 1)]
    found = []
    for sy, row in enumerate(shot):
        if sy + len(box) > len(shot):
            break
        start = 0
        while True:
            i = row.find(box[0], start)
            if i < 0:
                break
            start = i + 1
            if i % 3:
                continue
            if all(shot[sy + k][i:i + len(box[k])] == box[k] for k in range(1, len(box))):
                found.append((i // 3, sy))
    if len(found) != 1:
        print("found %d times" % len(found))
        sys.exit(1)
    print("found at %d %d, drawn from %d %d in the picture" % (found[0] + (left, top)))


if __name__ == "__main__":
    main()
