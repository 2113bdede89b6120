#!/usr/bin/env python3
"""Draws the unpacker's icon and writes it as res/unpacker.ico.

Four images, as the executable's icon group lists them: 16x16 and 32x32,
each in 16 colours (4 bits per pixel) and in 256 colours (8 bits per
pixel), as device-independent bitmaps with an AND mask. The artwork: a
brown carton with a blue arrow pointing into it.

    python3 res/make_icon.py [OUTPUT]
"""
import struct
import sys

# The 16 standard VGA colours (as RGB); the 256-colour palette starts with
# them and goes on with a 6x6x6 colour cube and a grey ramp.
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
PALETTE256 = VGA + [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
PALETTE256 += [(8 + 10 * i,) * 3 for i in range(256 - len(PALETTE256))]

# The drawing, in colours that each palette holds exactly or nearly.
CARTON = (153, 102, 51)
CARTON_DARK = (102, 51, 0)
TAPE = (204, 153, 102)
ARROW = (0, 0, 255)
ARROW_DARK = (0, 0, 128)
OUTLINE = (0, 0, 0)


def draw(size):
    """A size x size picture: rows top-down of RGB tuples, None for transparent."""
    s = size / 32.0
    picture = [[None] * size for _ in range(size)]

    def box(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y1 * s), int(y0 * s) + 1)):
            for x in range(int(x0 * s), max(int(x1 * s), int(x0 * s) + 1)):
                if 0 <= x < size and 0 <= y < size:
                    picture[y][x] = colour

    box(3, 14, 29, 31, OUTLINE)         # carton
    box(4, 15, 28, 30, CARTON)
    box(4, 15, 28, 18, CARTON_DARK)     # its open top
    box(14, 18, 18, 30, TAPE)
    box(12, 1, 20, 12, ARROW_DARK)      # arrow shaft
    box(13, 1, 19, 12, ARROW)
    for row in range(7):                # arrow head
        box(8 + row, 10 + row, 24 - row, 11 + row, ARROW)
    return picture


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], colour)))


def image(size, bits):
    palette = VGA if bits == 4 else PALETTE256
    picture = draw(size)
    # BITMAPINFOHEADER: height counts the colour bitmap and the mask.
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    colours = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    xor_stride = ((size * bits + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = b''
    mask = b''
    for row in reversed(picture):       # bottom-up
        indices = [0 if c is None else nearest(palette, c) for c in row]
        if bits == 4:
            line = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        else:
            line = bytes(indices)
        xor += line.ljust(xor_stride, b'\0')
        bits_line = 0
        for x, c in enumerate(row):
            if c is None:
                bits_line |= 1 << (size - 1 - x)
        mask += bits_line.to_bytes(size // 8, 'big').ljust(and_stride, b'\0')
    return header + colours + xor + mask


def icon_file():
    images = [(16, 4), (16, 8), (32, 4), (32, 8)]
    data = [image(size, bits) for size, bits in images]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), blob in zip(images, data):
        colours = 16 if bits == 4 else 0  # 0 stands for 256
        out += struct.pack('<BBBBHHII', size, size, colours, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    return out + b''.join(data)


if __name__ == '__main__':
    target = sys.argv[1] if len(sys.argv) > 1 else 'res/unpacker.ico'
    with open(target, 'wb') as f:
        f.write(icon_file())
