#!/usr/bin/env python3
"""Turns the text pictures of mainicon.txt into a Windows .ico file.

usage: make_icon.py PICTURES.txt OUT.ico

Every picture becomes a 16-colour (4 bits per pixel) BMP image in the icon,
with an AND mask for the transparent pixels.
"""
import struct
import sys

# The standard 16-colour palette, in its usual order, keyed by letter.
PALETTE = [
    ("k", (0, 0, 0)), ("m", (128, 0, 0)), ("e", (0, 128, 0)),
    ("o", (128, 128, 0)), ("n", (0, 0, 128)), ("u", (128, 0, 128)),
    ("t", (0, 128, 128)), ("s", (192, 192, 192)), ("g", (128, 128, 128)),
    ("r", (255, 0, 0)), ("l", (0, 255, 0)), ("y", (255, 255, 0)),
    ("b", (0, 0, 255)), ("p", (255, 0, 255)), ("c", (0, 255, 255)),
    ("w", (255, 255, 255)),
]
INDEX = {letter: i for i, (letter, _) in enumerate(PALETTE)}
TRANSPARENT = "."


def read_pictures(path):
    """Returns [(size, rows)] in file order; fails on a malformed picture."""
    pictures, size, rows = [], None, []
    for number, line in enumerate(open(path, encoding="ascii"), 1):
        line = line.rstrip("\n")
        if line.startswith("#") or not line.strip():
            continue
        if line.startswith("size "):
            size, rows = int(line.split()[1]), []
            pictures.append((size, rows))
            continue
        if size is None or len(line) != size or len(rows) == size:
            sys.exit(f"{path}:{number}: row does not fit a {size}x{size} picture")
        bad = set(line) - set(INDEX) - {TRANSPARENT}
        if bad:
            sys.exit(f"{path}:{number}: unknown colour letters {sorted(bad)}")
        rows.append(line)
    for size, rows in pictures:
        if len(rows) != size:
            sys.exit(f"{path}: the {size}x{size} picture has {len(rows)} rows")
    return pictures


def padded(row_bytes):
    """Pads one bitmap row to a multiple of four bytes."""
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def bmp_image(size, rows):
    """A BMP icon image: header, palette, 4-bit colour rows, 1-bit mask rows."""
    colour, mask = b"", b""
    for row in reversed(rows):  # BMP rows run bottom-up
        indices = [INDEX.get(ch, 0) for ch in row]
        colour += padded(bytes((indices[i] << 4) | indices[i + 1]
                               for i in range(0, size, 2)))
        bits = "".join("1" if ch == TRANSPARENT else "0" for ch in row)
        mask += padded(int(bits, 2).to_bytes(size // 8, "big"))
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0,
                         len(colour) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0)
                       for _, (r, g, b) in PALETTE)
    return header + palette + colour + mask


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    pictures = read_pictures(sys.argv[1])
    images = [bmp_image(size, rows) for size, rows in pictures]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, _), image in zip(pictures, images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4,
                           len(image), offset)
        offset += len(image)
    with open(sys.argv[2], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
