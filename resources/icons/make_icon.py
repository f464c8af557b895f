#!/usr/bin/env python3
"""Draws the Kestrival icon (an upward arrow over a progress bar) as 16-colour images.

Usage: make_icon.py [OUTPUT_DIR]   (default: this script's directory)
Writes kestrival-32.xpm and kestrival-16.xpm for the Linux edition and kestrival.ico (both
sizes) for the Windows one. The output depends on nothing but this file.
"""
import os
import struct
import sys

# The 16 colours of a 4-bit icon, each keyed by one hex digit; ' ' is transparent.
PALETTE = [
    "#000000", "#800000", "#008000", "#808000", "#000080", "#800080", "#008080", "#C0C0C0",
    "#808080", "#FF0000", "#00FF00", "#FFFF00", "#0000FF", "#FF00FF", "#00FFFF", "#FFFFFF",
]
BLACK, NAVY, TEAL, SILVER, YELLOW, WHITE = 0x0, 0x4, 0x6, 0x7, 0xB, 0xF
TRANSPARENT = None
SIZES = (32, 16)


def in_rounded_square(u, v, lo=0.04, hi=0.96, radius=0.2):
    if not (lo <= u <= hi and lo <= v <= hi):
        return False
    cu = min(max(u, lo + radius), hi - radius)
    cv = min(max(v, lo + radius), hi - radius)
    return (u - cu) ** 2 + (v - cv) ** 2 <= radius ** 2


def neighbours(pixel):
    return ((pixel, 0), (-pixel, 0), (0, pixel), (0, -pixel))


def in_bar(u, v):
    return 0.16 <= u <= 0.84 and 0.68 <= v <= 0.88


def in_arrow(u, v):
    shaft = 0.41 <= u <= 0.59 and 0.40 <= v <= 0.62
    head_top, head_base = 0.12, 0.44
    half = 0.30 * (v - head_top) / (head_base - head_top)
    head = head_top <= v <= head_base and abs(u - 0.5) <= half
    return shaft or head


def colour_at(u, v, pixel):
    """Colour of the pixel whose centre is (u, v), in units of the icon's side."""
    if not in_rounded_square(u, v):
        return TRANSPARENT
    # A rim pixel is one whose neighbour a pixel away falls outside the shape.
    if not all(in_rounded_square(u + du, v + dv) for du, dv in neighbours(pixel)):
        return NAVY
    if in_bar(u, v):
        if not all(in_bar(u + du, v + dv) for du, dv in neighbours(pixel)):
            return BLACK
        return YELLOW if u < 0.60 else SILVER
    if in_arrow(u, v):
        return WHITE
    return TEAL


def pixels(size):
    """Rows top to bottom of palette indices, TRANSPARENT where the icon has no pixel."""
    return [[colour_at((x + 0.5) / size, (y + 0.5) / size, 1.0 / size) for x in range(size)]
            for y in range(size)]


def xpm(size):
    name = f"kestrival_{size}"
    rows = ["".join(" " if c is TRANSPARENT else format(c, "x") for c in row) for row in pixels(size)]
    lines = [f"{size} {size} {len(PALETTE) + 1} 1", "  c None"]
    lines += [f"{i:x} c {rgb}" for i, rgb in enumerate(PALETTE)]
    lines += rows
    body = ",\n".join(f'"{line}"' for line in lines)
    return f"/* XPM */\nstatic const char *{name}[] = {{\n{body}\n}};\n"


def padded(row_bytes):
    """A bitmap row is padded to a whole number of 32-bit words."""
    return row_bytes + bytes(-len(row_bytes) % 4)


def ico_image(size):
    """One icon image: a 4-bit DIB of twice the height (colours, then the AND mask), rows
    bottom-up. A transparent pixel is colour 0 with its mask bit set, so it leaves the screen as
    it is."""
    rows = pixels(size)[::-1]
    colours = b"".join(
        padded(bytes((hi or 0) << 4 | (lo or 0) for hi, lo in zip(row[0::2], row[1::2]))) for row in rows)
    mask = b""
    for row in rows:
        bits = "".join("1" if c is TRANSPARENT else "0" for c in row)
        mask += padded(int(bits, 2).to_bytes(size // 8, "big"))
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0, len(colours) + len(mask), 0, 0, 0, 0)
    palette = b"".join(bytes((int(rgb[5:7], 16), int(rgb[3:5], 16), int(rgb[1:3], 16), 0)) for rgb in PALETTE)
    return header + palette + colours + mask


def ico():
    images = [ico_image(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    for size, image in zip(SIZES, images):
        directory += struct.pack("<BBBBHHII", size, size, len(PALETTE), 0, 1, 4, len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for size in SIZES:
        with open(os.path.join(out, f"kestrival-{size}.xpm"), "w", encoding="ascii", newline="\n") as f:
            f.write(xpm(size))
    with open(os.path.join(out, "kestrival.ico"), "wb") as f:
        f.write(ico())


if __name__ == "__main__":
    main()
