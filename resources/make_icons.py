#!/usr/bin/env python3
"""Draws the program's icon and writes main.png, main@2x.png and app.ico beside this script.

The picture: three computer screens joined by network lines. ImageMagick's
`convert` draws it; everything else is done here with the standard library.

main.png: 48 x 48, 8-bit RGBA, not interlaced, padded with a tEXt chunk to
exactly PNG_SIZE bytes.
main@2x.png: the same drawing at 96 x 96, which Qt takes beside main.png on a
screen scaled by more than 1.
app.ico: eight images, in this order: 32 and 16 pixels at 4 bits per pixel,
48, 32 and 16 at 8 bits, 48, 32 and 16 at 32 bits.
"""

import os
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
PNG_SIZE = 1924

DRAWING = [
    '-size', '48x48', 'xc:none',
    # the network: a line from each screen's foot to a hub below
    '-stroke', '#2e7d32', '-strokewidth', '2', '-fill', 'none',
    '-draw', 'line 24,19 24,45', '-draw', 'line 10,45 38,45',
    '-draw', 'line 10,40 10,45', '-draw', 'line 38,40 38,45',
    # three screens: frame, glass, a highlight, a foot
    '-stroke', '#263238', '-strokewidth', '1', '-fill', '#546e7a',
    '-draw', 'roundrectangle 14,1 34,15 2,2',
    '-draw', 'roundrectangle 0,21 20,35 2,2',
    '-draw', 'roundrectangle 27,21 47,35 2,2',
    '-stroke', 'none', '-fill', '#4fc3f7',
    '-draw', 'rectangle 16,3 32,13', '-draw', 'rectangle 2,23 18,33', '-draw', 'rectangle 29,23 45,33',
    '-fill', '#b3e5fc',
    '-draw', 'polygon 16,3 23,3 16,9', '-draw', 'polygon 2,23 9,23 2,29', '-draw', 'polygon 29,23 36,23 29,29',
    '-fill', '#37474f',
    '-draw', 'rectangle 22,16 26,17', '-draw', 'rectangle 19,18 29,19',
    '-draw', 'rectangle 8,36 12,37', '-draw', 'rectangle 5,38 15,39',
    '-draw', 'rectangle 35,36 39,37', '-draw', 'rectangle 32,38 42,39',
    '-fill', '#1b5e20', '-draw', 'rectangle 22,43 26,47',
]

# The 16 colours of the standard Windows palette.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def drawing(scale):
    """DRAWING on a canvas scale times as large, every coordinate and stroke scaled."""
    size = '%dx%d' % (48 * scale, 48 * scale)
    args = [size if arg == '48x48' else arg for arg in DRAWING]
    return args[:3] + (['-affine', '%d,0,0,%d,0,0' % (scale, scale)] if scale != 1 else []) + args[3:]


def png_chunk(kind, data):
    return (struct.pack('>I', len(data)) + kind + data
            + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))


def pad_png(png, size):
    """Inserts a tEXt chunk before IEND so that the file is exactly size bytes."""
    iend = png.rindex(b'IEND') - 4
    room = size - len(png) - 12
    keyword = b'Comment\0'
    if room < len(keyword):
        sys.exit('main.png is %d bytes, too large to pad to %d: simplify the drawing'
                 % (len(png), size))
    text = b'Three computer screens joined by network lines.'
    filler = (text + b' ' * room)[:room - len(keyword)]
    return png[:iend] + png_chunk(b'tEXt', keyword + filler) + png[iend:]


def rgba_pixels(png_path, size):
    """The picture scaled to size x size, as rows of (r, g, b, a), top row first."""
    raw = subprocess.run(['convert', png_path, '-resize', '%dx%d' % (size, size), 'rgba:-'],
                         check=True, stdout=subprocess.PIPE).stdout
    pixels = [tuple(raw[i:i + 4]) for i in range(0, len(raw), 4)]
    return [pixels[row * size:(row + 1) * size] for row in range(size)]


def nearest(colour, palette):
    r, g, b = colour
    return min(range(len(palette)),
               key=lambda i: (palette[i][0] - r) ** 2 + (palette[i][1] - g) ** 2 + (palette[i][2] - b) ** 2)


def opaque(pixel):
    return pixel[3] >= 128


def palette_256(rows):
    colours = sorted({p[:3] for row in rows for p in row if opaque(p)})
    if len(colours) <= 256:
        return colours + [(0, 0, 0)] * (256 - len(colours))
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    return cube + [(i * 255 // 39,) * 3 for i in range(40)]


def row_bytes(bits):
    return (bits + 31) // 32 * 4


def and_mask(rows):
    """1 bit per pixel, set where the pixel is transparent; bottom row first."""
    size = len(rows)
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(row_bytes(size))
        for x, p in enumerate(row):
            if not opaque(p):
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def xor_bitmap(rows, bpp, palette):
    size = len(rows)
    out = bytearray()
    for row in reversed(rows):
        line = bytearray()
        if bpp == 32:
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
        else:
            indexes = [nearest(p[:3], palette) if opaque(p) else 0 for p in row]
            if bpp == 8:
                line += bytes(indexes)
            else:
                for x in range(0, size, 2):
                    line.append(indexes[x] << 4 | (indexes[x + 1] if x + 1 < size else 0))
        line += bytes(row_bytes(size * bpp) - len(line))
        out += line
    return bytes(out)


def ico_image(rows, bpp):
    size = len(rows)
    palette = {4: VGA16, 8: palette_256(rows) if bpp == 8 else None, 32: []}[bpp]
    pixels = xor_bitmap(rows, bpp, palette) + and_mask(rows)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bpp, 0, len(pixels), 0, 0,
                         len(palette), 0)
    return header + b''.join(bytes((b, g, r, 0)) for r, g, b in palette) + pixels


def write_ico(path, images):
    offset = 6 + 16 * len(images)
    directory = struct.pack('<HHH', 0, 1, len(images))
    data = b''
    for size, bpp, blob in images:
        colours = 16 if bpp == 4 else 0
        directory += struct.pack('<BBBBHHII', size % 256, size % 256, colours, 0, 1, bpp,
                                 len(blob), offset + len(data))
        data += blob
    with open(path, 'wb') as f:
        f.write(directory + data)


def main():
    png_path = os.path.join(HERE, 'main.png')
    for scale, name in ((1, 'main.png'), (2, 'main@2x.png')):
        png = subprocess.run(['convert'] + drawing(scale) + ['-strip', 'PNG32:-'],
                             check=True, stdout=subprocess.PIPE).stdout
        with open(os.path.join(HERE, name), 'wb') as f:
            f.write(pad_png(png, PNG_SIZE) if scale == 1 else png)

    pictures = {size: rgba_pixels(png_path, size) for size in (48, 32, 16)}
    layout = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]
    write_ico(os.path.join(HERE, 'app.ico'),
              [(size, bpp, ico_image(pictures[size], bpp)) for size, bpp in layout])


if __name__ == '__main__':
    main()
