#!/usr/bin/python3
"""Solid PNG pictures and pixel counts of screenshots, with the standard library only.

  png_colours.py make OUT WIDTH HEIGHT RRGGBB   writes a picture of one colour
  png_colours.py count PNG RRGGBB...            prints how many pixels have each colour
"""
import struct
import sys
import zlib


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def make(path, width, height, colour):
    row = b"\x00" + bytes.fromhex(colour) * width
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                  chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


def pixels(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit("not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, kind, _, _, interlace = header
    if depth != 8 or kind not in (2, 6) or interlace:
        raise SystemExit("only 8-bit RGB or RGBA pictures without interlacing")
    step = 3 if kind == 2 else 4
    stride = width * step
    raw = zlib.decompress(idat)
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind_of_filter, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            up = previous[i]
            corner = previous[i - step] if i >= step else 0
            if kind_of_filter == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind_of_filter == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind_of_filter == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind_of_filter == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF
        previous = line
        for x in range(0, stride, step):
            yield bytes(line[x:x + 3])


def main():
    if sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
        return
    wanted = {bytes.fromhex(colour): 0 for colour in sys.argv[3:]}
    for pixel in pixels(sys.argv[2]):
        if pixel in wanted:
            wanted[pixel] += 1
    for colour in sys.argv[3:]:
        print(colour, wanted[bytes.fromhex(colour)])


main()
