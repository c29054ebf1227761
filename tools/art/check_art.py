#!/usr/bin/python3
"""Checks the client's resources against what the program expects of them.

  /usr/bin/python3 tools/art/check_art.py [--res DIR]

- res/png holds exactly one file per image id, named <id>_<name>.png, with the
  expected pixel size and PNG colour type (read from the file's IHDR), 8 bits
  per channel, decodable, not blank; two-state pictures really differ between
  their states;
- resource_ids.h names every id once, vornmark.rc lists every PNG with the
  right file under the Chinese (Simplified) language, and the icon file has
  the 16, 32, 48 and 256 px images;
- when i686-w64-mingw32-windres is installed, the .rc is compiled and the
  compiled resources are checked as well.

Prints every problem found and exits 1 if there is any.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

from PIL import Image

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))

# id: (width, height, PNG colour type). Colour types: 6 RGBA, 2 RGB, 3 palette.
RGBA, RGB, PALETTE = 6, 2, 3
TABLE = {
    130: (33, 16, RGBA), 131: (160, 34, RGBA), 132: (160, 34, RGBA), 133: (160, 34, RGBA),
    134: (160, 34, RGBA), 135: (31, 16, RGBA), 137: (50, 50, RGBA), 138: (82, 22, RGB),
    139: (82, 22, RGB), 140: (82, 22, RGB), 141: (82, 22, RGB), 142: (295, 190, RGBA),
    144: (68, 35, RGB), 145: (1230, 728, PALETTE), 146: (68, 35, RGB), 147: (68, 35, RGB),
    148: (68, 35, RGB), 149: (400, 30, RGBA), 150: (20, 20, RGBA), 151: (25, 25, RGBA),
    152: (25, 25, RGBA), 153: (25, 25, RGBA), 154: (25, 25, RGBA), 155: (25, 25, RGBA),
    156: (25, 25, RGBA), 157: (25, 25, RGBA), 158: (128, 22, RGB), 196: (25, 25, RGBA),
    208: (25, 25, RGBA), 209: (25, 25, RGBA), 210: (25, 25, RGBA), 211: (25, 25, RGBA),
    212: (25, 25, RGBA), 213: (25, 25, RGBA), 214: (25, 25, RGBA), 215: (25, 25, RGBA),
    216: (25, 25, RGBA), 217: (25, 25, RGBA), 219: (4, 16, RGB), 220: (4, 16, RGB),
    221: (434, 85, RGBA), 226: (20, 20, RGBA), 227: (20, 20, RGBA), 228: (20, 20, RGBA),
}
TYPE_NAMES = {RGBA: 'RGBA', RGB: 'RGB', PALETTE: 'palette', 0: 'grey', 4: 'grey+alpha'}
PIL_MODE = {RGBA: 'RGBA', RGB: 'RGB', PALETTE: 'P'}

# Two-frame strips: the left half is the normal and the right half the hover picture.
STRIPS = [130, 131, 132, 133, 134, 135, 138, 139, 140, 141, 158]
# (normal, hover, pressed) triples of the title bar and pairs of the close dialog;
# each later state must look different from the normal one.
STATE_SETS = [(209, 210), (211, 212, 155), (215, 216, 156), (213, 214, 157),
              (151, 152, 153), (196, 208, 154), (144, 146), (147, 148)]
ICON_SIZES = {16, 32, 48, 256}
LANG_ZH_CN = 2052

problems = []


def problem(msg):
    problems.append(msg)


def png_header(path):
    """(width, height, bit depth, colour type, interlace) from the IHDR chunk."""
    with open(path, 'rb') as f:
        data = f.read(33)
    if len(data) < 33 or data[:8] != b'\x89PNG\r\n\x1a\n' or data[12:16] != b'IHDR':
        raise ValueError('not a PNG file')
    w, h, depth, ctype, _comp, _filt, interlace = struct.unpack('>IIBBBBB', data[16:29])
    if zlib.crc32(data[12:29]) != struct.unpack('>I', data[29:33])[0]:
        raise ValueError('IHDR checksum mismatch')
    return w, h, depth, ctype, interlace


def check_pngs(png_dir):
    """Returns {id: file name} of the images found."""
    found = {}
    if not os.path.isdir(png_dir):
        problem('%s is missing' % png_dir)
        return found
    for name in sorted(os.listdir(png_dir)):
        if not name.lower().endswith('.png'):
            continue
        m = re.match(r'^(\d+)_[A-Za-z0-9_]+\.png$', name)
        if not m:
            problem('%s: name is not <id>_<name>.png' % name)
            continue
        rid = int(m.group(1))
        if rid not in TABLE:
            problem('%s: id %d is not a resource of the program' % (name, rid))
            continue
        if rid in found:
            problem('id %d has two files: %s and %s' % (rid, found[rid], name))
            continue
        found[rid] = name
    for rid in sorted(set(TABLE) - set(found)):
        problem('id %d: no file in %s' % (rid, png_dir))

    for rid, name in sorted(found.items()):
        path = os.path.join(png_dir, name)
        ew, eh, etype = TABLE[rid]
        try:
            w, h, depth, ctype, interlace = png_header(path)
        except (OSError, ValueError) as e:
            problem('%s: %s' % (name, e))
            continue
        if (w, h) != (ew, eh):
            problem('%s: %dx%d, expected %dx%d' % (name, w, h, ew, eh))
        if ctype != etype:
            problem('%s: colour type %s, expected %s' % (
                name, TYPE_NAMES.get(ctype, ctype), TYPE_NAMES[etype]))
        if depth != 8:
            problem('%s: %d bits per sample, expected 8' % (name, depth))
        if interlace:
            problem('%s: interlaced' % name)
        try:
            with Image.open(path) as im:
                im.load()
                if im.mode != PIL_MODE.get(etype):
                    problem('%s: decodes as mode %s, expected %s' % (name, im.mode, PIL_MODE[etype]))
                rgba = im.convert('RGBA')
        except Exception as e:  # a decoder error of any kind is a broken file
            problem('%s: cannot be decoded: %s' % (name, e))
            continue
        if rgba.getextrema()[3][1] == 0:
            problem('%s: fully transparent' % name)
        elif rgba.getcolors(2) is not None and len(rgba.getcolors(2)) < 2:
            problem('%s: a single flat colour' % name)
    return found


def load(png_dir, found, rid):
    with Image.open(os.path.join(png_dir, found[rid])) as im:
        return im.convert('RGBA')


def check_states(png_dir, found):
    for rid in STRIPS:
        if rid not in found:
            continue
        im = load(png_dir, found, rid)
        fw = im.size[0] // 2
        normal = im.crop((0, 0, fw, im.size[1]))
        hover = im.crop((fw, 0, 2 * fw, im.size[1]))
        if normal.tobytes() == hover.tobytes():
            problem('%s: the hover frame is identical to the normal frame' % found[rid])
        for frame, part in (('normal', normal), ('hover', hover)):
            if part.getextrema()[3][1] == 0:
                problem('%s: the %s frame is empty' % (found[rid], frame))
    for states in STATE_SETS:
        if not all(r in found for r in states):
            continue
        normal = load(png_dir, found, states[0]).tobytes()
        for other in states[1:]:
            if load(png_dir, found, other).tobytes() == normal:
                problem('%s looks the same as %s' % (found[other], found[states[0]]))


def check_header(res_dir):
    path = os.path.join(res_dir, 'resource_ids.h')
    macros = {}
    try:
        text = open(path, encoding='ascii').read()
    except (OSError, UnicodeDecodeError) as e:
        problem('resource_ids.h: %s' % e)
        return macros
    for name, value in re.findall(r'^\s*#define\s+(\w+)\s+(\d+)\b', text, re.M):
        if name in macros:
            problem('resource_ids.h: %s defined twice' % name)
        macros[name] = int(value)
    if macros.get('IDI_MAIN') != 128:
        problem('resource_ids.h: IDI_MAIN must be 128')
    by_value = {}
    for name, value in macros.items():
        if name.startswith('IDB_'):
            by_value.setdefault(value, []).append(name)
    for rid in sorted(TABLE):
        names = by_value.get(rid, [])
        if len(names) != 1:
            problem('resource_ids.h: id %d has %s' % (rid, names and 'several names %s' % names
                                                     or 'no IDB_ name'))
    for value in sorted(set(by_value) - set(TABLE)):
        problem('resource_ids.h: %s = %d is not a resource of the program' % (by_value[value], value))
    return macros


def check_rc(res_dir, found, macros):
    path = os.path.join(res_dir, 'vornmark.rc')
    try:
        lines = open(path, encoding='ascii').read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        problem('vornmark.rc: %s' % e)
        return
    language = None
    listed = {}
    saw_icon = saw_manifest = saw_version = False
    for n, raw in enumerate(lines, 1):
        line = raw.split('//')[0].strip()
        m = re.match(r'^LANGUAGE\s+(\w+)\s*,\s*(\w+)$', line)
        if m:
            language = (m.group(1), m.group(2))
            continue
        m = re.match(r'^(\w+)\s+(PNG|ICON|RT_MANIFEST)\s+"([^"]+)"$', line)
        if m:
            name, kind, rel = m.groups()
            full = os.path.join(res_dir, rel)
            if not os.path.isfile(full):
                problem('vornmark.rc:%d: %s does not exist' % (n, rel))
            if kind == 'ICON':
                saw_icon = True
                if name not in ('IDI_MAIN', '128'):
                    problem('vornmark.rc:%d: the icon group must be IDI_MAIN (128)' % n)
                check_icon(full)
            elif kind == 'RT_MANIFEST':
                saw_manifest = True
                check_manifest(full)
            else:
                rid = macros.get(name, int(name) if name.isdigit() else None)
                if rid is None:
                    problem('vornmark.rc:%d: %s is not defined in resource_ids.h' % (n, name))
                    continue
                if language != ('LANG_CHINESE', 'SUBLANG_CHINESE_SIMPLIFIED'):
                    problem('vornmark.rc:%d: id %d is not under LANG_CHINESE, '
                            'SUBLANG_CHINESE_SIMPLIFIED' % (n, rid))
                if rid in listed:
                    problem('vornmark.rc:%d: id %d listed twice' % (n, rid))
                listed[rid] = rel
                if rid in found and os.path.normpath(rel) != os.path.join('png', found[rid]):
                    problem('vornmark.rc:%d: id %d points at %s, the image is png/%s' % (
                        n, rid, rel, found[rid]))
        if re.match(r'^\w+\s+VERSIONINFO\b', line):
            saw_version = True
    for rid in sorted(set(TABLE) - set(listed)):
        problem('vornmark.rc: id %d is not listed' % rid)
    for rid in sorted(set(listed) - set(TABLE)):
        problem('vornmark.rc: id %d is not a resource of the program' % rid)
    if not saw_icon:
        problem('vornmark.rc: no icon group')
    if not saw_manifest:
        problem('vornmark.rc: no manifest')
    if not saw_version:
        problem('vornmark.rc: no VERSIONINFO block')


def check_manifest(path):
    try:
        text = open(path, encoding='utf-8').read()
    except OSError as e:
        problem('manifest: %s' % e)
        return
    if not re.search(r'<requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"\s*/>', text):
        problem('manifest: requestedExecutionLevel must be asInvoker without UI access')


def check_icon(path):
    try:
        data = open(path, 'rb').read()
    except OSError as e:
        problem('icon: %s' % e)
        return
    if len(data) < 6 or struct.unpack_from('<HHH', data) [:2] != (0, 1):
        problem('icon: %s is not an icon file' % path)
        return
    count = struct.unpack_from('<H', data, 4)[0]
    sizes = set()
    for i in range(count):
        w, h, _c, _r, _planes, bpp, size, offset = struct.unpack_from('<BBBBHHII', data, 6 + 16 * i)
        w, h = w or 256, h or 256
        if offset + size > len(data):
            problem('icon: image %d runs past the end of the file' % i)
            continue
        blob = data[offset:offset + size]
        if blob[:8] == b'\x89PNG\r\n\x1a\n':
            iw, ih = struct.unpack('>II', blob[16:24])
        else:
            hs, iw, ih2, _p, bits = struct.unpack_from('<IiiHH', blob)
            ih = ih2 // 2
            if hs != 40 or bits != 32:
                problem('icon: %dx%d image is not a 32-bit DIB' % (w, h))
        if (iw, ih) != (w, h):
            problem('icon: directory says %dx%d, image is %dx%d' % (w, h, iw, ih))
        sizes.add(w)
    if not ICON_SIZES <= sizes:
        problem('icon: sizes %s, expected at least %s' % (sorted(sizes), sorted(ICON_SIZES)))


def read_res(data):
    """Entries (type, name, language) of a compiled .res file."""
    def read_id(i):
        if struct.unpack_from('<H', data, i)[0] == 0xFFFF:
            return struct.unpack_from('<H', data, i + 2)[0], i + 4
        chars = []
        while True:
            c = struct.unpack_from('<H', data, i)[0]
            i += 2
            if c == 0:
                return ''.join(chars), i
            chars.append(chr(c))
    out, i = [], 0
    while i + 8 <= len(data):
        size, header = struct.unpack_from('<II', data, i)
        rtype, j = read_id(i + 8)
        name, j = read_id(j)
        j = (j + 3) & ~3
        lang = struct.unpack_from('<IHH', data, j)[2]
        if size:
            out.append((rtype, name, lang, data[i + header:i + header + size]))
        i = (i + header + size + 3) & ~3
    return out


def check_compiled(res_dir, png_dir, found):
    windres = shutil.which('i686-w64-mingw32-windres')
    if not windres:
        print('check_art: i686-w64-mingw32-windres not installed, compiled resources not checked')
        return
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, 'vornmark.res')
        # run from elsewhere: file names must resolve through -I alone
        r = subprocess.run([windres, '-I', res_dir, '-i', os.path.join(res_dir, 'vornmark.rc'),
                            '-O', 'res', '-o', out], cwd=tmp, capture_output=True, text=True)
        if r.returncode != 0:
            problem('windres failed:\n' + r.stderr.strip())
            return
        entries = read_res(open(out, 'rb').read())
    pngs = {name: (lang, blob) for rtype, name, lang, blob in entries if rtype == 'PNG'}
    for rid in sorted(TABLE):
        if rid not in pngs:
            problem('compiled: no PNG resource %d' % rid)
            continue
        lang, blob = pngs[rid]
        if lang != LANG_ZH_CN:
            problem('compiled: PNG %d has language %d, expected %d' % (rid, lang, LANG_ZH_CN))
        if rid in found and blob != open(os.path.join(png_dir, found[rid]), 'rb').read():
            problem('compiled: PNG %d differs from %s' % (rid, found[rid]))
    kinds = {(t, n) for t, n, _l, _b in entries}
    for want, what in (((14, 128), 'icon group 128'), ((16, 1), 'version block'),
                       ((24, 1), 'manifest 1')):
        if want not in kinds:
            problem('compiled: no %s' % what)


def main():
    ap = argparse.ArgumentParser(description='check the PNG resources, icon and .rc')
    ap.add_argument('--res', default=os.path.join(ROOT, 'res'))
    args = ap.parse_args()
    res_dir = os.path.abspath(args.res)
    png_dir = os.path.join(res_dir, 'png')

    found = check_pngs(png_dir)
    check_states(png_dir, found)
    macros = check_header(res_dir)
    check_rc(res_dir, found, macros)
    check_compiled(res_dir, png_dir, found)

    if problems:
        for p in problems:
            print('check_art: ' + p, file=sys.stderr)
        print('check_art: %d problem(s)' % len(problems), file=sys.stderr)
        return 1
    print('check_art: %d images, icon, header and .rc are as expected' % len(TABLE))
    return 0


if __name__ == '__main__':
    sys.exit(main())
