#!/usr/bin/env python3
"""Puts a CJK font beside the Flash Player emulator and writes fonts.json, which
tells the browser layer what to hand the emulator: the font files to load and
the font to draw device text with when a movie names a font nobody has
("宋体", "_sans", ...).

The emulator knows a loaded font by the first Unicode full name in the font's
name table (name id 4), so that is the name written here. Standard library only.

Usage: flash_fonts.py FONT_FILE OUTPUT_DIR
"""
import json
import os
import shutil
import struct
import sys


def face_offset(data):
    """Offset of the first face's table directory (a collection holds several)."""
    if data[:4] == b"ttcf":
        return struct.unpack_from(">I", data, 12)[0]
    return 0


def full_name(data):
    start = face_offset(data)
    num_tables = struct.unpack_from(">H", data, start + 4)[0]
    for i in range(num_tables):
        tag, _, offset, length = struct.unpack_from(">4sIII", data, start + 12 + 16 * i)
        if tag != b"name":
            continue
        _, count, strings = struct.unpack_from(">HHH", data, offset)
        for r in range(count):
            platform, encoding, _, name_id, size, at = struct.unpack_from(">HHHHHH", data, offset + 6 + 12 * r)
            # Unicode platform, or Windows with a Unicode encoding: UTF-16BE.
            unicode = platform == 0 or (platform == 3 and encoding in (0, 1, 10))
            if unicode and name_id == 4:
                raw = data[offset + strings + at:offset + strings + at + size]
                return raw.decode("utf-16-be")
    raise ValueError("no Unicode full name in the font")


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    font, out = argv[1], argv[2]
    with open(font, "rb") as f:
        data = f.read()
    try:
        name = full_name(data)
    except (ValueError, struct.error) as e:
        sys.stderr.write("flash_fonts: %s: %s\n" % (font, e))
        return 1
    os.makedirs(out, exist_ok=True)
    shutil.copyfile(font, os.path.join(out, os.path.basename(font)))
    config = {"fontSources": [os.path.basename(font)],
              "defaultFonts": {kind: [name] for kind in ("sans", "serif", "typewriter")}}
    tmp = os.path.join(out, "fonts.json.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(config, f, ensure_ascii=False, indent=1)
        f.write("\n")
    os.replace(tmp, os.path.join(out, "fonts.json"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
