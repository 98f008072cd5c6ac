#!/usr/bin/env python3
"""Checks that a PE program carries the icon group MAINICON with a 16x16 and
a 32x32 image of 16 colours, both BMP images (not PNG).

usage: check_icon.py PROGRAM.exe
"""
import struct
import sys

RT_ICON, RT_GROUP_ICON = 3, 14


def sections(pe):
    """Returns (resource section's RVA, its file offset, its size)."""
    pe_offset = struct.unpack_from("<I", pe, 0x3C)[0]
    if pe[pe_offset:pe_offset + 4] != b"PE\0\0":
        sys.exit("not a PE file")
    count = struct.unpack_from("<H", pe, pe_offset + 6)[0]
    optional_size = struct.unpack_from("<H", pe, pe_offset + 20)[0]
    table = pe_offset + 24 + optional_size
    for i in range(count):
        name, _, rva, raw_size, raw_offset = struct.unpack_from(
            "<8sIIII", pe, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            return rva, raw_offset, raw_size
    sys.exit("no resource section")


def entries(rsrc, offset):
    """Yields (id or name, is_directory, offset) of one resource directory."""
    named, numbered = struct.unpack_from("<HH", rsrc, offset + 12)
    for i in range(named + numbered):
        key, target = struct.unpack_from("<II", rsrc, offset + 16 + 8 * i)
        if key & 0x80000000:
            at = key & 0x7FFFFFFF
            length = struct.unpack_from("<H", rsrc, at)[0]
            key = rsrc[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        yield key, bool(target & 0x80000000), target & 0x7FFFFFFF


def first_data(rsrc, rva, offset):
    """The bytes of the first language's data under a name directory."""
    for _, is_dir, at in entries(rsrc, offset):
        if is_dir:
            return first_data(rsrc, rva, at)
        data_rva, size = struct.unpack_from("<II", rsrc, at)
        return rsrc[data_rva - rva:data_rva - rva + size]


def main():
    pe = open(sys.argv[1], "rb").read()
    rva, raw, size = sections(pe)
    rsrc = pe[raw:raw + size]
    types = {key: at for key, _, at in entries(rsrc, 0)}
    if RT_GROUP_ICON not in types or RT_ICON not in types:
        sys.exit("no icon resources")
    groups = {key: at for key, _, at in entries(rsrc, types[RT_GROUP_ICON])}
    if "MAINICON" not in groups:
        sys.exit(f"no MAINICON group (groups: {list(groups)})")
    icons = {key: at for key, _, at in entries(rsrc, types[RT_ICON])}

    group = first_data(rsrc, rva, groups["MAINICON"])
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    found = []
    for i in range(count):
        width, height, colours, _, _, bits, _, icon_id = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        image = first_data(rsrc, rva, icons[icon_id])
        if image[:4] == b"\x89PNG":
            sys.exit(f"{width}x{height} image is PNG, not BMP")
        header_size, bmp_w, bmp_h, _, bmp_bits = struct.unpack_from("<IiiHH", image, 0)
        if header_size != 40 or bmp_bits != 4 or (bmp_w, bmp_h) != (width, 2 * height):
            sys.exit(f"{width}x{height} image is not a 4-bit BMP of that size")
        found.append((width, height, colours, bits))
    print("MAINICON:", found)
    if kind != 1 or sorted(found) != [(16, 16, 16, 4), (32, 32, 16, 4)]:
        sys.exit("MAINICON must hold exactly a 16x16 and a 32x32 16-colour image")


if __name__ == "__main__":
    main()
