#!/usr/bin/python3
"""Paints every PNG resource of the client and the application icon.

Run with Debian's interpreter (it has Pillow):  /usr/bin/python3 tools/art/make_art.py
Writes res/png/<id>_<name>.png and res/icon/vornmark.ico. Output is fully
deterministic: the only randomness (stars, mountain ridges) uses fixed seeds,
so re-running on the same Pillow produces identical files.

Look: midnight blue and dark teal surfaces, gold accents, pale text. The
in-game title bar pieces are painted against the title-bar background (217)
so that the opaque RGB strips sit seamlessly on it.
"""
import argparse
import io
import math
import os
import random
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))

CJK_FONT = '/usr/share/fonts/truetype/wqy/wqy-microhei.ttc'      # fonts-wqy-microhei
SERIF_BOLD = '/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf'  # fonts-dejavu-core

# Palette.
MIDNIGHT = (7, 13, 28)
DEEP = (12, 24, 40)
TEAL_DARK = (22, 44, 52)
TEAL = (35, 55, 60)          # the in-game client area colour
TEAL_MID = (40, 84, 94)
TEAL_LIGHT = (62, 128, 138)
GOLD = (212, 172, 92)
GOLD_LIGHT = (246, 222, 156)
GOLD_DARK = (134, 100, 44)
IVORY = (238, 233, 220)
MUTED = (150, 170, 176)
RED = (190, 46, 46)

SS = 4  # supersampling factor for shapes


# ---------------------------------------------------------------- helpers

_fonts = {}


def font(size, face='cjk'):
    key = (size, face)
    if key not in _fonts:
        path = CJK_FONT if face == 'cjk' else SERIF_BOLD
        if not os.path.exists(path):
            sys.exit('make_art: font %s is missing (install %s)' % (
                path, 'fonts-wqy-microhei' if face == 'cjk' else 'fonts-dejavu-core'))
        _fonts[key] = ImageFont.truetype(path, size, index=0)
    return _fonts[key]


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    return tuple(int(round(lerp(x, y, t))) for x, y in zip(c1, c2))


def rgba(c, a=255):
    return tuple(c[:3]) + (a,)


def gradient(size, stops, horizontal=False):
    """RGBA image with a linear gradient through (position, colour) stops."""
    w, h = size
    n = w if horizontal else h
    stops = [(p, rgba(c) if len(c) == 3 else c) for p, c in stops]
    line = []
    for i in range(n):
        t = (i + 0.5) / n
        for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
            if t <= p1 or (p1, c1) == stops[-1]:
                u = 0.0 if p1 == p0 else min(max((t - p0) / (p1 - p0), 0.0), 1.0)
                line.append(mix(c0, c1, u))
                break
    strip = Image.new('RGBA', (n, 1) if horizontal else (1, n))
    strip.putdata(line)
    return strip.resize(size, Image.NEAREST)


def shape_mask(size, draw_fn, ss=SS):
    """Anti-aliased coverage mask: draw_fn(draw, s) paints 255 at scale s."""
    w, h = size
    m = Image.new('L', (w * ss, h * ss), 0)
    draw_fn(ImageDraw.Draw(m), ss)
    return m.resize(size, Image.BOX)


def rrect_mask(size, box, radius, ss=SS):
    x0, y0, x1, y1 = box

    def fn(d, s):
        d.rounded_rectangle([x0 * s, y0 * s, x1 * s - 1, y1 * s - 1],
                            radius=radius * s, fill=255)
    return shape_mask(size, fn, ss)


def ring_mask(size, box, radius, width, ss=SS):
    outer = rrect_mask(size, box, radius, ss)
    x0, y0, x1, y1 = box
    inner = rrect_mask(size, (x0 + width, y0 + width, x1 - width, y1 - width),
                       max(radius - width, 0), ss)
    return ImageChops.subtract(outer, inner)


def scale_alpha(mask, factor):
    return mask.point(lambda v: int(v * factor + 0.5))


def fill(dst, mask, paint, opacity=1.0):
    """Composite paint (colour tuple or RGBA image of dst's size) through mask."""
    if isinstance(paint, tuple):
        layer = Image.new('RGBA', dst.size, rgba(paint, 255))
        alpha = mask if len(paint) == 3 else scale_alpha(mask, paint[3] / 255.0)
    else:
        layer = paint.copy()
        alpha = ImageChops.multiply(layer.getchannel('A'), mask)
    if opacity < 1.0:
        alpha = scale_alpha(alpha, opacity)
    layer.putalpha(alpha)
    dst.alpha_composite(layer)


def text_mask(size, xy, text, fnt, anchor='mm', stroke=0):
    m = Image.new('L', size, 0)
    ImageDraw.Draw(m).text(xy, text, font=fnt, fill=255, anchor=anchor,
                           stroke_width=stroke, stroke_fill=255)
    return m


def paint_text(dst, xy, text, fnt, colour, anchor='mm', shadow=None, glow=None):
    """Text with an optional drop shadow (colour, dx, dy, blur) and glow (colour, blur)."""
    m = text_mask(dst.size, xy, text, fnt, anchor)
    if glow:
        gc, gb = glow
        fill(dst, m.filter(ImageFilter.GaussianBlur(gb)), gc)
    if shadow:
        sc, dx, dy, blur = shadow
        sm = text_mask(dst.size, (xy[0] + dx, xy[1] + dy), text, fnt, anchor)
        if blur:
            sm = sm.filter(ImageFilter.GaussianBlur(blur))
        fill(dst, sm, sc)
    fill(dst, m, colour)


def line_mask(size, segments, width, ss=SS):
    """Mask of polylines with round caps; segments are lists of points."""
    def fn(d, s):
        r = width * s / 2.0
        for pts in segments:
            sp = [(x * s, y * s) for x, y in pts]
            d.line(sp, fill=255, width=max(1, int(round(width * s))), joint='curve')
            for x, y in (sp[0], sp[-1]):
                d.ellipse([x - r, y - r, x + r, y + r], fill=255)
    return shape_mask(size, fn, ss)


def faded_hline(dst, y, x0, x1, colour, alpha=255, thickness=1):
    """Horizontal rule that fades out towards both ends."""
    w = x1 - x0
    g = gradient((w, thickness), [(0, rgba(colour, 0)), (0.25, rgba(colour, alpha)),
                                  (0.75, rgba(colour, alpha)), (1, rgba(colour, 0))],
                 horizontal=True)
    layer = Image.new('RGBA', dst.size, (0, 0, 0, 0))
    layer.paste(g, (x0, y))
    dst.alpha_composite(layer)


def diamond_mask(size, cx, cy, r, ss=SS):
    return shape_mask(size, lambda d, s: d.polygon(
        [(cx * s, (cy - r) * s), ((cx + r) * s, cy * s), (cx * s, (cy + r) * s),
         ((cx - r) * s, cy * s)], fill=255), ss)


def ornament(dst, cy, x0, x1, colour=GOLD, alpha=200):
    """Gold rule with a small diamond in the middle."""
    cx = (x0 + x1) / 2.0
    faded_hline(dst, cy, x0, int(cx) - 6, colour, alpha)
    faded_hline(dst, cy, int(cx) + 7, x1, colour, alpha)
    fill(dst, diamond_mask(dst.size, cx, cy + 0.5, 3.5), rgba(colour, alpha))


# ---------------------------------------------------------------- emblem

def emblem(size):
    """Round medallion: gold rim, deep teal field, gold chevron 'V' and a star."""
    ss = max(4, 512 // size)
    big = size * ss
    k = big / 100.0
    small = size < 24
    img = Image.new('RGBA', (big, big), (0, 0, 0, 0))

    def circle(r):
        m = Image.new('L', (big, big), 0)
        ImageDraw.Draw(m).ellipse([(50 - r) * k, (50 - r) * k, (50 + r) * k, (50 + r) * k], fill=255)
        return m

    rim_in = 40 if small else 42
    fill(img, circle(49), gradient((big, big), [(0, GOLD_LIGHT), (0.5, GOLD), (1, GOLD_DARK)]))
    fill(img, circle(rim_in + 1.5), rgba((40, 28, 10), 255))
    fill(img, circle(rim_in), gradient((big, big), [(0, (34, 92, 104)), (0.55, (16, 44, 60)),
                                                     (1, (6, 14, 30))]))
    if not small:
        ring = ImageChops.subtract(circle(37), circle(35.6))
        fill(img, ring, rgba(GOLD, 150))
        # faint highlight on the upper field
        hl = Image.new('L', (big, big), 0)
        ImageDraw.Draw(hl).ellipse([22 * k, 10 * k, 78 * k, 46 * k], fill=60)
        fill(img, hl.filter(ImageFilter.GaussianBlur(6 * k)), (150, 220, 220))

    # chevron V
    if small:
        pts = [(22, 30), (38, 30), (50, 58), (62, 30), (78, 30), (56, 80), (44, 80)]
    else:
        pts = [(26, 33), (39, 33), (50, 60), (61, 33), (74, 33), (54.5, 77), (45.5, 77)]
    vm = Image.new('L', (big, big), 0)
    ImageDraw.Draw(vm).polygon([(x * k, y * k) for x, y in pts], fill=255)
    shadow = vm.filter(ImageFilter.GaussianBlur(2.5 * k))
    fill(img, ImageChops.offset(shadow, int(1.5 * k), int(2 * k)), rgba((0, 0, 0), 200))
    fill(img, vm, gradient((big, big), [(0.3, GOLD_LIGHT), (0.8, GOLD)]))
    if not small:
        # bevel: lighter left arm
        left = Image.new('L', (big, big), 0)
        ImageDraw.Draw(left).polygon([(x * k, y * k) for x, y in
                                      [(26, 33), (39, 33), (50, 60), (50, 77), (45.5, 77)]], fill=255)
        fill(img, left, rgba((255, 248, 220), 70))
        # four-point star above the V
        sm = Image.new('L', (big, big), 0)
        cx, cy, r, q = 50, 21, 8, 1.8
        ImageDraw.Draw(sm).polygon([(x * k, y * k) for x, y in
                                    [(cx, cy - r), (cx + q, cy - q), (cx + r, cy), (cx + q, cy + q),
                                     (cx, cy + r), (cx - q, cy + q), (cx - r, cy), (cx - q, cy - q)]],
                                   fill=255)
        fill(img, sm.filter(ImageFilter.GaussianBlur(2 * k)), rgba(GOLD_LIGHT, 160))
        fill(img, sm, rgba((255, 246, 214)))
    out = img.resize((size, size), Image.BOX)
    if small:
        out = out.filter(ImageFilter.UnsharpMask(radius=0.6, percent=60, threshold=0))
    return out


# ---------------------------------------------------------------- small icons

def icon_mask(kind, size, ox=0.0, oy=0.0, box=None):
    """Masks of the pictograms used on portal buttons and menu icons.

    Coordinates are in a 14-unit box placed at (ox, oy), scaled to `box` px.
    """
    box = box or 14.0
    u = box / 14.0

    def P(x, y, s):
        return ((ox + x * u) * s, (oy + y * u) * s)

    def fn(d, s):
        if kind == 'home':
            d.polygon([P(7, 0.8, s), P(13.6, 6.8, s), P(11.8, 6.8, s), P(11.8, 13.2, s),
                       P(8.6, 13.2, s), P(8.6, 9, s), P(5.4, 9, s), P(5.4, 13.2, s),
                       P(2.2, 13.2, s), P(2.2, 6.8, s), P(0.4, 6.8, s)], fill=255)
        elif kind == 'gem':
            d.polygon([P(3.4, 2, s), P(10.6, 2, s), P(13.6, 5.4, s), P(7, 13.4, s),
                       P(0.4, 5.4, s)], fill=255)
            # facet lines cut out
            d.line([P(0.9, 5.4, s), P(13.1, 5.4, s)], fill=0, width=max(1, int(0.9 * u * s)))
            d.line([P(4.6, 5.6, s), P(7, 12, s), P(9.4, 5.6, s)], fill=0,
                   width=max(1, int(0.9 * u * s)))
        elif kind == 'bubble':
            d.rounded_rectangle([P(0.5, 1, s), P(13.5, 10, s)], radius=2.6 * u * s, fill=255)
            d.polygon([P(3, 9.5, s), P(7, 9.5, s), P(3, 13.4, s)], fill=255)
            for x in (4, 7, 10):
                cx, cy = P(x, 5.5, s)
                r = 1.05 * u * s
                d.ellipse([cx - r, cy - r, cx + r, cy + r], fill=0)
        elif kind == 'headset':
            cx, cy = P(7, 7.4, s)
            r_o, r_i = 6.2 * u * s, 4.8 * u * s
            d.pieslice([cx - r_o, cy - r_o, cx + r_o, cy + r_o], 180, 360, fill=255)
            d.pieslice([cx - r_i, cy - r_i, cx + r_i, cy + r_i], 180, 360, fill=0)
            d.rounded_rectangle([P(0.6, 6.6, s), P(3.6, 11.8, s)], radius=1.2 * u * s, fill=255)
            d.rounded_rectangle([P(10.4, 6.6, s), P(13.4, 11.8, s)], radius=1.2 * u * s, fill=255)
            d.line([P(11.8, 11.4, s), P(11.2, 13.1, s), P(7.6, 13.1, s)], fill=255,
                   width=max(1, int(1.1 * u * s)))
            ex, ey = P(7.2, 13.1, s)
            r = 1.0 * u * s
            d.ellipse([ex - r, ey - r, ex + r, ey + r], fill=255)
    return shape_mask(size, fn)


# ---------------------------------------------------------------- the images

def login_artwork():
    """1230x728 launcher backdrop: night sky, moonlit mountains, a castle,
    a title band (49 px) and a footer band (from y 669) painted over it."""
    W, H = 1230, 728
    rng = random.Random(1230728)
    img = gradient((W, H), [(0, MIDNIGHT), (0.30, (12, 26, 48)), (0.56, (26, 62, 82)),
                            (0.68, (48, 98, 108)), (0.80, (20, 44, 58)), (1, (6, 12, 22))])

    # aurora veils
    aur = Image.new('L', (W, H), 0)
    d = ImageDraw.Draw(aur)
    for i, (base, amp, alpha) in enumerate([(190, 50, 90), (245, 40, 60), (150, 30, 50)]):
        pts_top, pts_bot = [], []
        for x in range(-40, W + 41, 20):
            y = base + amp * math.sin(x / 210.0 + i * 1.7) + 18 * math.sin(x / 67.0 + i)
            pts_top.append((x, y))
            pts_bot.append((x, y + 46 + 20 * math.sin(x / 150.0 + i * 2.1)))
        d.polygon(pts_top + pts_bot[::-1], fill=alpha)
    aur = aur.filter(ImageFilter.GaussianBlur(22))
    fill(img, aur, rgba((70, 190, 170), 150))
    aur2 = ImageChops.offset(aur, 0, -26).filter(ImageFilter.GaussianBlur(10))
    fill(img, aur2, rgba((110, 120, 200), 50))

    # stars
    stars = Image.new('RGBA', (W, H), (0, 0, 0, 0))
    sd = ImageDraw.Draw(stars)
    for _ in range(520):
        x, y = rng.uniform(0, W), rng.uniform(0, 470) ** 1.0
        b = rng.random()
        a = int(70 + 185 * b * (1 - y / 560.0))
        c = mix((190, 210, 255), (255, 236, 200), rng.random())
        r = 0.5 + 0.9 * b * b
        sd.ellipse([x - r, y - r, x + r, y + r], fill=rgba(c, max(a, 40)))
    img.alpha_composite(stars)
    bright = Image.new('L', (W, H), 0)
    bd = ImageDraw.Draw(bright)
    for _ in range(14):
        x, y = rng.uniform(40, W - 40), rng.uniform(60, 380)
        bd.ellipse([x - 2, y - 2, x + 2, y + 2], fill=255)
        bd.line([(x - 7, y), (x + 7, y)], fill=120)
        bd.line([(x, y - 7), (x, y + 7)], fill=120)
    fill(img, bright.filter(ImageFilter.GaussianBlur(1.2)), (255, 244, 214))

    # moon with halo
    mx, my, mr = 318, 190, 56
    halo = Image.new('L', (W, H), 0)
    ImageDraw.Draw(halo).ellipse([mx - 150, my - 150, mx + 150, my + 150], fill=90)
    fill(img, halo.filter(ImageFilter.GaussianBlur(60)), (200, 226, 220))
    halo2 = Image.new('L', (W, H), 0)
    ImageDraw.Draw(halo2).ellipse([mx - 75, my - 75, mx + 75, my + 75], fill=150)
    fill(img, halo2.filter(ImageFilter.GaussianBlur(18)), (246, 236, 200))
    moon = shape_mask((W, H), lambda d, s: d.ellipse(
        [(mx - mr) * s, (my - mr) * s, (mx + mr) * s, (my + mr) * s], fill=255), 2)
    fill(img, moon, gradient((W, H), [(0.18, (255, 250, 232)), (0.34, (236, 222, 188))]))
    craters = Image.new('L', (W, H), 0)
    cd = ImageDraw.Draw(craters)
    for cx, cy, cr in [(-18, -14, 14), (16, 10, 10), (-6, 24, 7), (24, -22, 6), (-30, 14, 6)]:
        cd.ellipse([mx + cx - cr, my + cy - cr, mx + cx + cr, my + cy + cr], fill=70)
    craters = ImageChops.multiply(craters.filter(ImageFilter.GaussianBlur(3)), moon)
    fill(img, craters, (170, 160, 140))

    def ridge(seed, base, amp, rough, peaks=()):
        r = random.Random(seed)
        n = 129
        ys = [0.0] * n
        step, scale = n - 1, amp
        ys[0], ys[-1] = r.uniform(-1, 1) * amp, r.uniform(-1, 1) * amp
        while step > 1:
            half = step // 2
            for i in range(half, n, step):
                ys[i] = (ys[i - half] + ys[i + half]) / 2 + r.uniform(-1, 1) * scale
            step, scale = half, scale * rough
        pts = []
        for i, v in enumerate(ys):
            x = -10 + (W + 20) * i / (n - 1)
            for px, ph, pw in peaks:
                v -= ph * max(0.0, 1 - abs(x - px) / pw) ** 1.6
            pts.append((x, base + v))
        return pts

    def mountain(pts, colour, top_colour=None, lit=None, extra=None):
        m = shape_mask((W, H), lambda d, s: d.polygon(
            [(x * s, y * s) for x, y in pts] + [((W + 10) * s, H * s), (-10 * s, H * s)],
            fill=255), 2)
        if extra is not None:
            m = ImageChops.lighter(m, extra)
        ymin = int(min(y for _, y in pts))
        paint = gradient((W, H), [(0, colour), (max(ymin / H, 0.01), top_colour or colour),
                                  (min(ymin / H + 0.25, 0.99), colour), (1, colour)])
        fill(img, m, paint)
        if lit:
            # moonlit rim along the ridge
            edge = ImageChops.subtract(m, ImageChops.offset(m, 0, 2))
            fill(img, edge.filter(ImageFilter.GaussianBlur(0.6)), lit)
        return m

    def mist(y, h, alpha, colour=(120, 180, 190)):
        m = Image.new('L', (W, H), 0)
        md = ImageDraw.Draw(m)
        for x in range(-60, W + 60, 90):
            dy = 10 * math.sin(x / 130.0 + y)
            md.ellipse([x - 120, y + dy - h / 2, x + 120, y + dy + h / 2], fill=alpha)
        fill(img, m.filter(ImageFilter.GaussianBlur(h / 2.5)), colour)

    mountain(ridge(11, 455, 38, 0.55, [(870, 120, 260), (160, 60, 200)]),
             (34, 70, 86), (58, 104, 116), rgba((170, 210, 210), 90))
    mist(500, 60, 70)
    far2 = ridge(23, 530, 34, 0.52, [(980, 90, 170), (420, 70, 240)])
    mountain(far2, (20, 44, 60), (36, 74, 88), rgba((160, 200, 204), 70))

    mist(580, 70, 60)
    near = ridge(37, 612, 30, 0.5, [(120, 60, 220), (640, 30, 300), (968, 70, 220)])
    crest = min(y for x, y in near if 900 <= x <= 1040)
    castle, windows = castle_masks((W, H), 968, crest - 34, crest + 30)
    mountain(near, (10, 22, 34), (18, 38, 50), rgba((120, 170, 180), 50), extra=castle)
    fill(img, windows.filter(ImageFilter.GaussianBlur(3)), rgba((255, 180, 80), 210))
    fill(img, windows, (255, 214, 130))
    mist(650, 50, 40, (90, 140, 150))
    mountain(ridge(41, 676, 16, 0.5), (5, 11, 20))

    # fireflies / embers in the foreground mist
    emb = Image.new('L', (W, H), 0)
    ed = ImageDraw.Draw(emb)
    for _ in range(40):
        x, y = rng.uniform(0, W), rng.uniform(560, 665)
        r = rng.uniform(0.8, 1.6)
        ed.ellipse([x - r, y - r, x + r, y + r], fill=int(rng.uniform(120, 255)))
    fill(img, emb.filter(ImageFilter.GaussianBlur(1.5)), (255, 210, 120))
    fill(img, emb, rgba((255, 236, 180), 160))

    # title band
    band = gradient((W, 49), [(0, rgba((4, 9, 20), 240)), (1, rgba((8, 18, 34), 222))])
    layer = Image.new('RGBA', (W, H), (0, 0, 0, 0))
    layer.paste(band, (0, 0))
    img.alpha_composite(layer)
    faded_hline(img, 0, 0, W, TEAL_LIGHT, 90)
    faded_hline(img, 47, 0, W, GOLD_DARK, 160)
    faded_hline(img, 48, 0, W, GOLD, 220)
    em = emblem(36)
    img.alpha_composite(em, (12, 6))
    paint_text(img, (58, 25), 'VORNMARK', font(22, 'serif'),
               gradient((W, H), [(12 / H, (255, 240, 196)), (32 / H, GOLD)]), anchor='lm',
               shadow=(rgba((0, 0, 0), 220), 1, 2, 1.2), glow=(rgba(GOLD, 70), 4))
    x_after = 58 + ImageDraw.Draw(img).textlength('VORNMARK', font=font(22, 'serif'))
    fill(img, diamond_mask((W, H), x_after + 14, 25, 2.5), rgba(GOLD, 200))
    paint_text(img, (x_after + 24, 25), '游戏客户端', font(13), MUTED, anchor='lm',
               shadow=(rgba((0, 0, 0), 200), 1, 1, 0))

    # footer band
    fy = 669
    band = gradient((W, H - fy), [(0, rgba((4, 9, 20), 215)), (1, rgba((2, 5, 12), 245))])
    layer = Image.new('RGBA', (W, H), (0, 0, 0, 0))
    layer.paste(band, (0, fy))
    img.alpha_composite(layer)
    faded_hline(img, fy, 0, W, GOLD, 200)
    faded_hline(img, fy + 1, 0, W, GOLD_DARK, 110)
    notice = ['抵制不良游戏，拒绝盗版游戏。注意自我保护，谨防受骗上当。',
              '适度游戏益脑，沉迷游戏伤身。合理安排时间，享受健康生活。']
    for i, line in enumerate(notice):
        paint_text(img, (W / 2, fy + 20 + i * 19), line, font(12), (172, 184, 186),
                   shadow=(rgba((0, 0, 0), 220), 1, 1, 0))
    paint_text(img, (W - 18, fy + 30), '© Vornmark', font(12), (120, 136, 140), anchor='rm')
    paint_text(img, (18, fy + 30), '健康游戏忠告', font(12), rgba(GOLD, 210), anchor='lm')

    return to_palette(img.convert('RGB'), [(0, 49), (fy, H)])


def to_palette(rgb, detail_rows):
    """256-colour version of rgb. The palette is chosen by median cut over the
    picture plus extra copies of the detailed bands (title band, footer), so
    their thin gold rules and small text get colours of their own; the bands
    are then mapped without dithering (crisp), the rest with error diffusion
    (no banding in the sky)."""
    W, H = rgb.size
    bands = [rgb.crop((0, y0, W, y1)) for y0, y1 in detail_rows]
    extra = sum(b.size[1] for b in bands) * 8
    train = Image.new('RGB', (W, H + extra))
    train.paste(rgb, (0, 0))
    y = H
    for _ in range(8):
        for b in bands:
            train.paste(b, (0, y))
            y += b.size[1]
    palette = train.quantize(colors=256, method=Image.Quantize.MEDIANCUT)
    out = rgb.quantize(palette=palette, dither=Image.Dither.FLOYDSTEINBERG)
    crisp = rgb.quantize(palette=palette, dither=Image.Dither.NONE)
    for y0, y1 in detail_rows:
        out.paste(crisp.crop((0, y0, W, y1)), (0, y0))
    return out


def castle_masks(size, cx0, base_y, rock_y):
    """Silhouette of a castle centred on cx0 whose walls stand at base_y on a
    rocky outcrop reaching down to rock_y, and the mask of its lit windows."""
    W, H = size
    s = 2
    sil = Image.new('L', (W * s, H * s), 0)
    d = ImageDraw.Draw(sil)
    rock = [(cx0 - 66, base_y), (cx0 - 30, base_y - 4), (cx0 + 20, base_y - 2),
            (cx0 + 84, base_y), (cx0 + 96, base_y + 14), (cx0 + 112, base_y + 22),
            (cx0 + 150, rock_y), (cx0 + 200, rock_y + 22), (cx0 + 270, rock_y + 56),
            (cx0 + 270, H), (cx0 - 270, H), (cx0 - 250, rock_y + 52), (cx0 - 180, rock_y + 20),
            (cx0 - 130, rock_y),
            (cx0 - 96, base_y + 26), (cx0 - 80, base_y + 12)]
    # roughen the outcrop's outline so it reads as rock, not as a trapezoid
    r = random.Random(968)
    rough = []
    for (x0, y0), (x1, y1) in zip(rock, rock[1:] + rock[:1]):
        steps = max(1, int(math.hypot(x1 - x0, y1 - y0) / 9))
        for i in range(steps):
            t = i / steps
            j = 0 if (y0 >= H or y1 >= H or i == 0) else r.uniform(-3, 3)
            rough.append((lerp(x0, x1, t), lerp(y0, y1, t) + j))
    d.polygon([(x * s, y * s) for x, y in rough], fill=255)
    # (x offset, tower height above the wall top, width, roof height)
    towers = [(-40, 30, 14, 24), (-14, 56, 18, 34), (12, 92, 22, 48), (38, 62, 18, 36),
              (62, 34, 14, 26)]
    wall_top = base_y - 34
    x_left, x_right = cx0 - 58, cx0 + 78
    d.rectangle([x_left * s, wall_top * s, x_right * s, H * s], fill=255)
    for x in range(int(x_left), int(x_right), 8):
        d.rectangle([x * s, (wall_top - 5) * s, (x + 4) * s, wall_top * s], fill=255)
    win = Image.new('L', (W, H), 0)
    wd = ImageDraw.Draw(win)
    for dx, th, tw, rh in towers:
        cx = cx0 + dx
        top = wall_top - th
        d.rectangle([(cx - tw / 2) * s, top * s, (cx + tw / 2) * s, H * s], fill=255)
        d.polygon([((cx - tw / 2 - 3) * s, top * s), ((cx + tw / 2 + 3) * s, top * s),
                   (cx * s, (top - rh) * s)], fill=255)
        tip = top - rh
        d.line([(cx * s, tip * s), (cx * s, (tip - 9) * s)], fill=255, width=s)
        d.polygon([(cx * s, (tip - 9) * s), ((cx + 8) * s, (tip - 7) * s),
                   (cx * s, (tip - 5) * s)], fill=255)
        for k in range(max(1, th // 22)):
            wy = top + 8 + k * 18
            wd.rectangle([cx - 1, wy, cx, wy + 4], fill=255)
    for dx in (-28, 0, 26, 50):
        wd.rectangle([cx0 + dx, wall_top + 10, cx0 + dx + 1, wall_top + 13], fill=255)
    return sil.resize((W, H), Image.BOX), win


def launcher_portal_strip(label, icon):
    """160x34: two 80x34 frames for a portal button of the launcher title band."""
    W, H = 160, 34
    img = Image.new('RGBA', (W, H), (0, 0, 0, 0))
    f = font(15)
    for frame, hot in ((0, False), (1, True)):
        ox = frame * 80
        box = (ox + 2, 2, ox + 78, 32)
        if hot:
            glow = rrect_mask((W, H), box, 6).filter(ImageFilter.GaussianBlur(1.6))
            fill(img, glow, rgba(GOLD, 120))
        face = gradient((W, H), [(0, rgba((44, 104, 116), 235 if hot else 150)),
                                 (1, rgba((12, 34, 46), 245 if hot else 190))])
        fill(img, rrect_mask((W, H), box, 5), face)
        # top sheen
        fill(img, rrect_mask((W, H), (ox + 3, 3, ox + 77, 15), 4),
             rgba((255, 255, 255), 26 if hot else 14))
        border = GOLD_LIGHT if hot else GOLD
        fill(img, ring_mask((W, H), box, 5, 1), rgba(border, 255 if hot else 150))
        colour = (255, 244, 206) if hot else GOLD_LIGHT
        tw = ImageDraw.Draw(img).textlength(label, font=f)
        total = 14 + 5 + tw
        x0 = ox + (80 - total) / 2.0
        im = icon_mask(icon, (W, H), x0, 10)
        fill(img, ImageChops.offset(im, 1, 1), rgba((0, 0, 0), 170))
        fill(img, im, colour)
        paint_text(img, (x0 + 19, 17.5), label, f, colour, anchor='lm',
                   shadow=(rgba((0, 0, 0), 200), 1, 1, 0.6))
    return img


def launcher_window_strip(kind, width):
    """Minimise (31x16) / close (33x16) two-frame strips of the launcher.

    Frames are width // 2 px wide; an odd last column is never shown and is
    left transparent."""
    H = 16
    fw = width // 2
    img = Image.new('RGBA', (width, H), (0, 0, 0, 0))
    for frame, hot in ((0, False), (1, True)):
        ox = frame * fw
        if hot:
            bg = (RED if kind == 'close' else TEAL_LIGHT)
            fill(img, rrect_mask(img.size, (ox, 0, ox + fw, H), 3), rgba(bg, 230))
        c = (255, 255, 255) if hot else (206, 214, 216)
        cx = ox + fw / 2.0
        if kind == 'close':
            segs = [[(cx - 3.6, 4.4), (cx + 3.6, 11.6)], [(cx + 3.6, 4.4), (cx - 3.6, 11.6)]]
            m = line_mask(img.size, segs, 1.5)
        else:
            m = line_mask(img.size, [[(cx - 4, 10.5), (cx + 4, 10.5)]], 1.6)
        if not hot:
            fill(img, ImageChops.offset(m, 0, 1), rgba((0, 0, 0), 150))
        fill(img, m, c)
    return img


def titlebar_background():
    """25x25, every column identical so that stretching it along the bar is lossless."""
    rows = [(64, 104, 112)]
    for i in range(22):
        rows.append(mix((36, 70, 78), (22, 44, 52), i / 21.0))
    rows.append((14, 28, 34))
    rows.append(GOLD_DARK)
    col = Image.new('RGBA', (1, 25))
    col.putdata([rgba(c) for c in rows])
    return col.resize((25, 25), Image.NEAREST)


def titlebar_rows(y0, y1, width):
    """Opaque RGB crop of the title-bar background rows y0..y1-1, width px wide."""
    return titlebar_background().crop((0, y0, 1, y1)).resize((width, y1 - y0), Image.NEAREST)


def titlebar_strip(label, frame_w):
    """Two opaque frames (normal, hover) for a portal button of the in-game title bar,
    sitting at rows 2..23 of the bar."""
    H = 22
    W = frame_w * 2
    img = titlebar_rows(2, 24, W)
    f = font(12)
    for frame, hot in ((0, False), (1, True)):
        ox = frame * frame_w
        box = (ox + 0.5, 1.5, ox + frame_w - 0.5, H - 1.5)
        face = gradient((W, H), [(0, rgba((58, 124, 134) if hot else (46, 84, 92), 255 if hot else 150)),
                                 (1, rgba((26, 66, 76) if hot else (20, 40, 48), 255 if hot else 150))])
        fill(img, rrect_mask((W, H), box, 3), face)
        fill(img, ring_mask((W, H), box, 3, 1), rgba(GOLD_LIGHT if hot else GOLD_DARK, 255))
        paint_text(img, (ox + frame_w / 2.0, H / 2.0), label, f,
                   (255, 250, 234) if hot else GOLD_LIGHT,
                   shadow=(rgba((0, 0, 0), 190), 1, 1, 0))
    return img.convert('RGB')


def glyph_mask(kind, size=(25, 25), dy=0.0):
    c = 12.5
    if kind == 'close':
        return line_mask(size, [[(8.5, 8.5 + dy), (16.5, 16.5 + dy)],
                                [(16.5, 8.5 + dy), (8.5, 16.5 + dy)]], 1.7)
    if kind == 'minimise':
        return line_mask(size, [[(8, 16 + dy), (17, 16 + dy)]], 1.8)
    if kind == 'maximise':
        m = ring_mask(size, (7.5, 8 + dy, 17.5, 17 + dy), 1, 1.3)
        top = rrect_mask(size, (7.5, 8 + dy, 17.5, 10 + dy), 1)
        return ImageChops.lighter(m, top)
    if kind == 'restore':
        back = ring_mask(size, (10, 6.5 + dy, 18.5, 14 + dy), 1, 1.3)
        front_box = (6.5, 10 + dy, 15, 18.5 + dy)
        hole = rrect_mask(size, (front_box[0] - 1.2, front_box[1] - 1.2,
                                 front_box[2] + 1.2, front_box[3] + 1.2), 1)
        back = ImageChops.subtract(back, hole)
        front = ring_mask(size, front_box, 1, 1.3)
        top = rrect_mask(size, (6.5, 10 + dy, 15, 12 + dy), 1)
        return ImageChops.lighter(ImageChops.lighter(back, front), top)
    if kind == 'fullscreen':
        a, b, L = 7, 18, 3.6
        segs = [[(a, a + L + dy), (a, a + dy), (a + L, a + dy)],
                [(b - L, a + dy), (b, a + dy), (b, a + L + dy)],
                [(b, b - L + dy), (b, b + dy), (b - L, b + dy)],
                [(a + L, b + dy), (a, b + dy), (a, b - L + dy)]]
        return line_mask(size, segs, 1.6)
    if kind == 'tools':
        def fn(d, s):
            cx, cy = c * s, (c + dy) * s
            ro, rb, rh = 6.3 * s, 4.6 * s, 2.0 * s
            d.ellipse([cx - rb, cy - rb, cx + rb, cy + rb], fill=255)
            for i in range(8):
                a = math.pi * i / 4
                w = 1.45 * s
                pts = []
                for r_, side in ((rb - s, -1), (ro, -1), (ro, 1), (rb - s, 1)):
                    pts.append((cx + r_ * math.cos(a) - side * w * math.sin(a),
                                cy + r_ * math.sin(a) + side * w * math.cos(a)))
                d.polygon(pts, fill=255)
            d.ellipse([cx - rh, cy - rh, cx + rh, cy + rh], fill=0)
        return shape_mask(size, fn)
    raise ValueError(kind)


def titlebar_glyph(kind, state):
    """25x25 RGBA button face for the title bar: state is normal, hover or pressed."""
    img = Image.new('RGBA', (25, 25), (0, 0, 0, 0))
    red = kind == 'close' and state != 'normal'
    if state == 'hover' or red:
        bg = rgba(RED, 235) if red else rgba((255, 255, 255), 34)
        fill(img, rrect_mask(img.size, (1.5, 1.5, 23.5, 23.5), 3), bg)
        if red and state == 'pressed':
            fill(img, rrect_mask(img.size, (1.5, 1.5, 23.5, 23.5), 3), rgba((0, 0, 0), 50))
    elif state == 'pressed':
        fill(img, rrect_mask(img.size, (1.5, 1.5, 23.5, 23.5), 3), rgba((0, 0, 0), 80))
        fill(img, ring_mask(img.size, (1.5, 1.5, 23.5, 23.5), 3, 1), rgba(GOLD_DARK, 200))
    dy = 0.6 if state == 'pressed' and not red else 0.0
    m = glyph_mask(kind, dy=dy)
    colour = {'normal': (200, 214, 218), 'hover': (255, 255, 255),
              'pressed': (226, 206, 150)}[state]
    if red:
        colour = (255, 255, 255)
    fill(img, ImageChops.offset(m, 0, 1), rgba((0, 0, 0), 110))
    fill(img, m, colour)
    return img


def close_dialog_background():
    """295x190 layered dialog: caption, question, space for the two buttons at
    (50,100)-(118,135) and (178,100)-(246,135)."""
    W, H = 295, 190
    img = Image.new('RGBA', (W, H), (0, 0, 0, 0))
    panel = rrect_mask((W, H), (0, 0, W, H), 8)
    body = gradient((W, H), [(0, (24, 50, 62)), (0.5, (14, 32, 46)), (1, (7, 16, 30))])
    fill(img, panel, body)
    # soft teal light behind the question
    light = Image.new('L', (W, H), 0)
    ImageDraw.Draw(light).ellipse([40, 36, 255, 100], fill=80)
    fill(img, ImageChops.multiply(light.filter(ImageFilter.GaussianBlur(22)), panel), (80, 170, 170))
    # caption band
    cap = ImageChops.multiply(panel, rrect_mask((W, H), (0, 0, W, 30), 0))
    fill(img, cap, gradient((W, H), [(0, (40, 82, 92)), (30 / H, (22, 48, 58)), (1, (22, 48, 58))]))
    faded_hline(img, 30, 0, W, GOLD, 230)
    faded_hline(img, 31, 0, W, (0, 0, 0), 120)
    img.alpha_composite(emblem(18), (9, 6))
    paint_text(img, (34, 15.5), '温馨提示', font(13), GOLD_LIGHT, anchor='lm',
               shadow=(rgba((0, 0, 0), 200), 1, 1, 0))
    paint_text(img, (W / 2.0, 58), '确定要关闭游戏吗？', font(17), IVORY,
               shadow=(rgba((0, 0, 0), 230), 1, 1, 0.8))
    paint_text(img, (W / 2.0, 81), '关闭后将退出当前游戏', font(12), MUTED,
               shadow=(rgba((0, 0, 0), 200), 1, 1, 0))
    ornament(img, 160, 60, W - 60, GOLD, 170)
    # frame: gold outer line, dark inner line
    fill(img, ring_mask((W, H), (0, 0, W, H), 8, 1), rgba(GOLD, 255))
    fill(img, ring_mask((W, H), (1, 1, W - 1, H - 1), 7, 1), rgba((2, 6, 14), 200))
    return img


DIALOG_BUTTONS = {'ok': (50, 100), 'cancel': (178, 100)}


def dialog_button(dialog_bg, which, hot):
    """68x35 opaque button face; its corners carry the dialog background that
    lies under the button, so the rounded shape blends in."""
    x, y = DIALOG_BUTTONS[which]
    W, H = 68, 35
    img = dialog_bg.crop((x, y, x + W, y + H))
    box = (1, 1, W - 1, H - 1)
    if hot:
        fill(img, rrect_mask((W, H), (0, 0, W, H), 6).filter(ImageFilter.GaussianBlur(0.8)),
             rgba(GOLD_LIGHT if which == 'ok' else TEAL_LIGHT, 140))
    if which == 'ok':
        top, bot = ((250, 222, 146), (200, 152, 70)) if hot else ((228, 192, 114), (164, 120, 52))
        border, text, tshadow = (96, 66, 20), (44, 28, 6), rgba((255, 240, 196), 120)
    else:
        top, bot = ((74, 132, 144), (36, 74, 86)) if hot else ((52, 98, 110), (24, 52, 62))
        border, text, tshadow = GOLD_DARK, ((255, 255, 255) if hot else (226, 232, 230)), \
            rgba((0, 0, 0), 200)
    fill(img, rrect_mask((W, H), box, 5), gradient((W, H), [(0, top), (1, bot)]))
    fill(img, rrect_mask((W, H), (3, 2.5, W - 3, 15), 4), rgba((255, 255, 255), 40 if hot else 28))
    fill(img, ring_mask((W, H), box, 5, 1), rgba(border, 255))
    paint_text(img, (W / 2.0, H / 2.0), '确定' if which == 'ok' else '取消', font(15), text,
               shadow=(tshadow, 0, 1, 0))
    return img.convert('RGB')


def loading_bar():
    """400x30 progress banner (kept in the resources for a loading notice)."""
    W, H = 400, 30
    img = Image.new('RGBA', (W, H), (0, 0, 0, 0))
    box = (1, 3, W - 1, H - 3)
    fill(img, rrect_mask((W, H), box, 12), rgba((6, 14, 26), 225))
    prog = rrect_mask((W, H), (3, 5, 252, H - 5), 10)
    fill(img, prog, gradient((W, H), [(0, (30, 96, 104)), (0.45, (72, 150, 150)),
                                      (0.63, GOLD)], horizontal=True))
    fill(img, rrect_mask((W, H), (5, 6, 250, 14), 6), rgba((255, 255, 255), 45))
    fill(img, ring_mask((W, H), box, 12, 1), rgba(GOLD, 220))
    txt = '正在进入游戏，请稍候…'
    halo = text_mask((W, H), (W / 2.0, H / 2.0), txt, font(12), stroke=2)
    fill(img, halo.filter(ImageFilter.GaussianBlur(1.2)), rgba((4, 10, 20), 230))
    paint_text(img, (W / 2.0, H / 2.0), txt, font(12), (255, 252, 240))
    return img


def notice_icon():
    """20x20 gold medallion with an exclamation mark."""
    S = (20, 20)
    img = Image.new('RGBA', S, (0, 0, 0, 0))
    disk = shape_mask(S, lambda d, s: d.ellipse([1 * s, 1 * s, 19 * s, 19 * s], fill=255))
    fill(img, disk, gradient(S, [(0, GOLD_LIGHT), (1, GOLD_DARK)]))
    fill(img, ring_mask(S, (1, 1, 19, 19), 9, 1), rgba((90, 62, 18), 255))
    bar = rrect_mask(S, (8.8, 4.5, 11.2, 12), 1.2)
    dot = shape_mask(S, lambda d, s: d.ellipse([8.7 * s, 13.2 * s, 11.3 * s, 15.8 * s], fill=255))
    fill(img, ImageChops.lighter(bar, dot), (40, 24, 4))
    return img


def divider(hot):
    """4x16 vertical separator on the title-bar colour (rows 4..19 of the bar)."""
    img = titlebar_rows(4, 20, 4)
    dark = gradient((1, 16), [(0, rgba((8, 18, 22), 0)), (0.5, rgba((8, 18, 22), 255)),
                              (1, rgba((8, 18, 22), 0))])
    lite_c = GOLD if hot else (86, 128, 136)
    lite = gradient((1, 16), [(0, rgba(lite_c, 0)), (0.5, rgba(lite_c, 255)), (1, rgba(lite_c, 0))])
    layer = Image.new('RGBA', (4, 16), (0, 0, 0, 0))
    layer.paste(dark, (1, 0))
    layer.paste(lite, (2, 0))
    img.alpha_composite(layer)
    return img.convert('RGB')


def logo():
    """434x85 wordmark: medallion plus VORNMARK in gold."""
    W, H = 434, 85
    img = Image.new('RGBA', (W, H), (0, 0, 0, 0))
    em = emblem(72)
    sh = Image.new('RGBA', (W, H), (0, 0, 0, 0))
    sh.paste(em, (6, 7))
    fill(img, sh.getchannel('A').filter(ImageFilter.GaussianBlur(3)), rgba((0, 0, 0), 150))
    img.alpha_composite(em, (4, 5))
    f = font(50, 'serif')
    x, y = 90, 38
    tm = text_mask((W, H), (x, y), 'VORNMARK', f, anchor='lm')
    outline = text_mask((W, H), (x, y), 'VORNMARK', f, anchor='lm', stroke=2)
    fill(img, outline.filter(ImageFilter.GaussianBlur(4)), rgba((0, 0, 0), 170))
    fill(img, outline.filter(ImageFilter.GaussianBlur(3)), rgba(GOLD, 60))
    fill(img, outline, rgba((30, 18, 4), 255))
    fill(img, tm, gradient((W, H), [(0.2, (255, 244, 204)), (0.45, GOLD_LIGHT), (0.55, GOLD),
                                    (0.75, (170, 124, 52))]))
    ornament(img, 72, 92, W - 6, GOLD, 220)
    return img


def menu_icon(kind):
    """20x20 icons for the tools menu entries (drawn for a light menu background)."""
    S = (20, 20)
    img = Image.new('RGBA', S, (0, 0, 0, 0))
    ink = (28, 74, 86)
    if kind == 'clear':
        lid = rrect_mask(S, (3, 4, 17, 6), 1)
        knob = rrect_mask(S, (8, 2, 12, 4.5), 1)
        can = shape_mask(S, lambda d, s: d.polygon(
            [(4.5 * s, 7 * s), (15.5 * s, 7 * s), (14.3 * s, 18 * s), (5.7 * s, 18 * s)], fill=255))
        slots = line_mask(S, [[(8, 9.5), (8, 15.5)], [(12, 9.5), (12, 15.5)]], 1.2)
        fill(img, ImageChops.lighter(lid, ImageChops.subtract(knob, rrect_mask(S, (9.2, 3.2, 10.8, 4), 0))),
             ink)
        fill(img, can, gradient(S, [(0.3, TEAL_LIGHT), (1, ink)]))
        fill(img, slots, GOLD_LIGHT)
    elif kind == 'refresh':
        def arrow(d, s):
            c, r, w = 10 * s, 6.0 * s, 2.2 * s
            # open circle, gap at the upper right, arrow head closing it clockwise
            d.arc([c - r, c - r, c + r, c + r], -20, 280, fill=255, width=int(w))
            a = math.radians(-20)
            tx, ty = c + r * math.cos(a), c + r * math.sin(a)
            nx, ny = math.cos(a), math.sin(a)          # outward normal
            tx_, ty_ = math.sin(a), -math.cos(a)      # direction of travel (anticlockwise on screen)
            L, hw = 4.2 * s, 3.4 * s
            d.polygon([(tx + tx_ * L, ty + ty_ * L), (tx + nx * hw, ty + ny * hw),
                       (tx - nx * hw, ty - ny * hw)], fill=255)
        fill(img, shape_mask(S, arrow), gradient(S, [(0, TEAL_LIGHT), (1, ink)]))
    elif kind == 'key':
        bow = shape_mask(S, lambda d, s: d.ellipse([2 * s, 2 * s, 10 * s, 10 * s], fill=255))
        hole = shape_mask(S, lambda d, s: d.ellipse([4.6 * s, 4.6 * s, 7.4 * s, 7.4 * s], fill=255))
        shaft = line_mask(S, [[(8.5, 8.5), (17, 17)]], 2.2)
        teeth = line_mask(S, [[(13.2, 13.2), (15.4, 11)], [(15.4, 15.4), (17.4, 13.4)]], 1.8)
        body = ImageChops.subtract(ImageChops.lighter(ImageChops.lighter(bow, shaft), teeth), hole)
        fill(img, body, gradient(S, [(0, GOLD_LIGHT), (1, GOLD_DARK)]))
        fill(img, ImageChops.subtract(ring_mask(S, (2, 2, 10, 10), 4, 0.8), hole), rgba(ink, 200))
    return img


# ---------------------------------------------------------------- catalogue

def build_catalogue():
    """(id, short name, painter) for every PNG resource. Sizes and modes are
    asserted at save time against EXPECTED below."""
    glyphs = {}

    def g(kind, state):
        key = (kind, state)
        if key not in glyphs:
            glyphs[key] = titlebar_glyph(kind, state)
        return glyphs[key]

    dialog = close_dialog_background()
    return [
        (130, 'launcher_close_strip', lambda: launcher_window_strip('close', 33)),
        (131, 'launcher_gamepage_strip', lambda: launcher_portal_strip('官网', 'home')),
        (132, 'launcher_forum_strip', lambda: launcher_portal_strip('论坛', 'bubble')),
        (133, 'launcher_service_strip', lambda: launcher_portal_strip('客服', 'headset')),
        (134, 'launcher_recharge_strip', lambda: launcher_portal_strip('充值', 'gem')),
        (135, 'launcher_min_strip', lambda: launcher_window_strip('minimise', 31)),
        (137, 'title_emblem', lambda: emblem(50)),
        (138, 'title_service_strip', lambda: titlebar_strip('客服', 41)),
        (139, 'title_forum_strip', lambda: titlebar_strip('论坛', 41)),
        (140, 'title_gamepage_strip', lambda: titlebar_strip('官网', 41)),
        (141, 'title_recharge_strip', lambda: titlebar_strip('充值', 41)),
        (142, 'closedlg_background', lambda: dialog),
        (144, 'closedlg_ok_normal', lambda: dialog_button(dialog, 'ok', False)),
        (145, 'launcher_background', login_artwork),
        (146, 'closedlg_ok_hover', lambda: dialog_button(dialog, 'ok', True)),
        (147, 'closedlg_cancel_normal', lambda: dialog_button(dialog, 'cancel', False)),
        (148, 'closedlg_cancel_hover', lambda: dialog_button(dialog, 'cancel', True)),
        (149, 'loading_bar', loading_bar),
        (150, 'notice_icon', notice_icon),
        (151, 'title_fullscreen_normal', lambda: g('fullscreen', 'normal')),
        (152, 'title_fullscreen_hover', lambda: g('fullscreen', 'hover')),
        (153, 'title_fullscreen_pressed', lambda: g('fullscreen', 'pressed')),
        (154, 'title_tools_pressed', lambda: g('tools', 'pressed')),
        (155, 'title_max_pressed', lambda: g('maximise', 'pressed')),
        (156, 'title_restore_pressed', lambda: g('restore', 'pressed')),
        (157, 'title_min_pressed', lambda: g('minimise', 'pressed')),
        (158, 'title_antiaddiction_strip', lambda: titlebar_strip('防沉迷', 64)),
        (196, 'title_tools_normal', lambda: g('tools', 'normal')),
        (208, 'title_tools_hover', lambda: g('tools', 'hover')),
        (209, 'title_close_normal', lambda: g('close', 'normal')),
        (210, 'title_close_hover', lambda: g('close', 'hover')),
        (211, 'title_max_normal', lambda: g('maximise', 'normal')),
        (212, 'title_max_hover', lambda: g('maximise', 'hover')),
        (213, 'title_min_normal', lambda: g('minimise', 'normal')),
        (214, 'title_min_hover', lambda: g('minimise', 'hover')),
        (215, 'title_restore_normal', lambda: g('restore', 'normal')),
        (216, 'title_restore_hover', lambda: g('restore', 'hover')),
        (217, 'title_background', titlebar_background),
        (219, 'divider', lambda: divider(False)),
        (220, 'divider_hot', lambda: divider(True)),
        (221, 'logo', logo),
        (226, 'menu_clear_cache', lambda: menu_icon('clear')),
        (227, 'menu_refresh', lambda: menu_icon('refresh')),
        (228, 'menu_boss_key', lambda: menu_icon('key')),
    ]


# What the program expects of each resource: (width, height, mode).
EXPECTED = {
    130: (33, 16, 'RGBA'), 131: (160, 34, 'RGBA'), 132: (160, 34, 'RGBA'),
    133: (160, 34, 'RGBA'), 134: (160, 34, 'RGBA'), 135: (31, 16, 'RGBA'),
    137: (50, 50, 'RGBA'), 138: (82, 22, 'RGB'), 139: (82, 22, 'RGB'),
    140: (82, 22, 'RGB'), 141: (82, 22, 'RGB'), 142: (295, 190, 'RGBA'),
    144: (68, 35, 'RGB'), 145: (1230, 728, 'P'), 146: (68, 35, 'RGB'),
    147: (68, 35, 'RGB'), 148: (68, 35, 'RGB'), 149: (400, 30, 'RGBA'),
    150: (20, 20, 'RGBA'), 158: (128, 22, 'RGB'), 217: (25, 25, 'RGBA'),
    219: (4, 16, 'RGB'), 220: (4, 16, 'RGB'), 221: (434, 85, 'RGBA'),
    226: (20, 20, 'RGBA'), 227: (20, 20, 'RGBA'), 228: (20, 20, 'RGBA'),
}
EXPECTED.update({i: (25, 25, 'RGBA') for i in
                 (151, 152, 153, 154, 155, 156, 157, 196, 208, 209, 210, 211, 212,
                  213, 214, 215, 216)})


# ---------------------------------------------------------------- icon file

def ico_bmp_entry(im):
    """32-bit DIB icon image (BGRA, bottom-up) with its AND mask."""
    w, h = im.size
    px = im.load()
    xor = bytearray()
    for y in range(h - 1, -1, -1):
        for x in range(w):
            r, g, b, a = px[x, y]
            xor += bytes((b, g, r, a))
    row = ((w + 31) // 32) * 4
    andm = bytearray()
    for y in range(h - 1, -1, -1):
        bits = bytearray(row)
        for x in range(w):
            if px[x, y][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        andm += bits
    header = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 32, 0, len(xor) + len(andm), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(andm)


def write_ico(path, images):
    """Icon file: small sizes as classic DIBs (read by every loader), 256 px as PNG."""
    blobs = []
    for im in images:
        if im.size[0] >= 256:
            buf = io.BytesIO()
            im.save(buf, 'PNG', optimize=True)
            blobs.append(buf.getvalue())
        else:
            blobs.append(ico_bmp_entry(im))
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for im, blob in zip(images, blobs):
        w, h = im.size
        out += struct.pack('<BBBBHHII', w % 256, h % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for blob in blobs:
        out += blob
    with open(path, 'wb') as f:
        f.write(out)


# ---------------------------------------------------------------- overview sheet

SHEET_BG = (96, 100, 106)


def checker(size, cell=6):
    """Neutral checkerboard so transparent parts of an image stay visible."""
    w, h = size
    im = Image.new('RGBA', size, rgba((84, 88, 94)))
    d = ImageDraw.Draw(im)
    for y in range(0, h, cell):
        for x in range((y // cell) % 2 * cell, w, cell * 2):
            d.rectangle([x, y, x + cell - 1, y + cell - 1], fill=rgba((104, 108, 114)))
    return im


def label(dst, xy, text, size=12, colour=(236, 238, 240), anchor='la'):
    ImageDraw.Draw(dst).text(xy, text, font=font(size), fill=rgba(colour), anchor=anchor)


def mock_titlebar(images, width=620, hover=None, pressed=None):
    """The in-game title bar as the frame lays it out at the given client width."""
    bar = Image.new('RGBA', (width, 25 + 30), rgba(TEAL))
    bar.alpha_composite(images[217].convert('RGBA').resize((width, 25), Image.BILINEAR), (0, 0))
    bar.alpha_composite(images[137].resize((16, 16), Image.LANCZOS), (5, 5))
    paint_text(bar, (26, 14), 'Vornmark', ImageFont.truetype(CJK_FONT, 12), (255, 255, 255),
               anchor='lm')
    R = width
    four = [(209, 210, 210, R - 25), (215, 216, 156, R - 50), (213, 214, 157, R - 75),
            (151, 152, 153, R - 100), (196, 208, 154, R - 125)]
    for n, h, p, x in four:
        pick = n
        if hover == n:
            pick = h
        if pressed == n:
            pick = p
        bar.alpha_composite(images[pick].convert('RGBA'), (x, 0))
    # strips keep their right edge at (client width - anchor) once laid out
    strips = [(138, 125, 41), (139, 170, 41), (140, 215, 41), (141, 260, 41), (158, 305, 64)]
    for rid, anchor, fw in strips:
        st = images[rid].convert('RGBA')
        frame = fw if hover == rid else 0
        bar.alpha_composite(st.crop((frame, 0, frame + fw, 22)), (R - anchor - fw, 2))
    return bar


def mock_launcher_band(images, hover=None):
    """Right part of the launcher title band with its buttons in place."""
    band = images[145].convert('RGBA').crop((700, 0, 1230, 49))
    for rid, box in [(135, (1181, 7, 1197, 23)), (130, (1207, 7, 1223, 23)),
                     (131, (736, 9, 816, 43)), (134, (819, 9, 899, 43)),
                     (132, (902, 9, 982, 43)), (133, (985, 9, 1065, 43))]:
        st = images[rid].convert('RGBA')
        fw = st.size[0] // 2
        frame = fw if hover == rid else 0
        face = st.crop((frame, 0, frame + fw, st.size[1]))
        face = face.resize((box[2] - box[0], box[3] - box[1]), Image.BILINEAR)
        band.alpha_composite(face, (box[0] - 700, box[1]))
    return band


def mock_dialog(images, hover=None):
    dlg = Image.new('RGBA', (295, 190), (0, 0, 0, 0))
    dlg.alpha_composite(images[142].convert('RGBA'))
    dlg.alpha_composite(images[146 if hover == 'ok' else 144].convert('RGBA'), (50, 100))
    dlg.alpha_composite(images[148 if hover == 'cancel' else 147].convert('RGBA'), (178, 100))
    return dlg


def overview_sheet(images, names):
    """All images on a neutral background, labelled, plus a few mock-ups of how
    the pieces combine on screen."""
    W = 1280
    pad = 16
    cells = []
    for rid in sorted(images):
        im = images[rid].convert('RGBA')
        w, h = im.size
        if rid == 145:
            zoom = 0.5
        elif max(w, h) <= 50:
            zoom = 3
        else:
            zoom = 1
        shown = im.resize((int(w * zoom), int(h * zoom)),
                          Image.LANCZOS if zoom < 1 else Image.NEAREST)
        cap = '%d  %s' % (rid, names[rid])
        cap2 = '%dx%d %s%s' % (w, h, {'P': 'palette'}.get(images[rid].mode, images[rid].mode),
                               '' if zoom == 1 else '  (shown x%g)' % zoom)
        cells.append((shown, cap, cap2))

    # shelf packing, biggest first
    cells.sort(key=lambda c: (-c[0].size[1], -c[0].size[0]))
    rows, row, x = [], [], pad
    for c in cells:
        cw = max(c[0].size[0], 180)
        if row and x + cw > W - pad:
            rows.append(row)
            row, x = [], pad
        row.append(c)
        x += cw + pad
    rows.append(row)

    mock_h = 40 + 80 + 55 * 2 + 60 + 49 * 2 * 2 + 60 + 190 + 40
    H = 60 + sum(max(c[0].size[1] for c in r) + 44 for r in rows) + mock_h
    sheet = Image.new('RGBA', (W, H), rgba(SHEET_BG))
    label(sheet, (pad, 18), 'Vornmark artwork: res/png (id, file name, size, colour type)', 18)
    y = 60
    for r in rows:
        x = pad
        rh = max(c[0].size[1] for c in r)
        for shown, cap, cap2 in r:
            sheet.alpha_composite(checker(shown.size), (x, y))
            sheet.alpha_composite(shown, (x, y))
            label(sheet, (x, y + shown.size[1] + 4), cap, 12)
            label(sheet, (x, y + shown.size[1] + 20), cap2, 11, (200, 204, 210))
            x += max(shown.size[0], 180) + pad
        y += rh + 44

    label(sheet, (pad, y), 'Mock-ups (how the frame and launcher compose the pieces)', 16)
    y += 32
    label(sheet, (pad, y), 'In-game title bar at 620 px client width: normal; tools hovered and '
          'forum strip hovered; close pressed (x2)', 12)
    y += 20
    tb = mock_titlebar(images).crop((0, 0, 620, 25))
    sheet.alpha_composite(tb.resize((1240, 50), Image.NEAREST), (pad, y))
    y += 55
    tb2 = mock_titlebar(images, hover=196, pressed=209).crop((0, 0, 620, 25))
    tb2b = mock_titlebar(images, hover=139).crop((0, 0, 620, 25))
    tb2.paste(tb2b.crop((300, 0, 500, 25)), (300, 0))
    sheet.alpha_composite(tb2.resize((1240, 50), Image.NEAREST), (pad, y))
    y += 60
    label(sheet, (pad, y), 'Launcher title band, right part (x2): normal, then recharge and close hovered', 12)
    y += 20
    b1 = mock_launcher_band(images)
    sheet.alpha_composite(b1.resize((1060, 98), Image.NEAREST), (pad, y))
    y += 102
    b2 = mock_launcher_band(images, hover=134)
    b2c = mock_launcher_band(images, hover=130)
    b2.paste(b2c.crop((500, 0, 530, 49)), (500, 0))
    sheet.alpha_composite(b2.resize((1060, 98), Image.NEAREST), (pad, y))
    y += 110
    label(sheet, (pad, y), 'Close dialog: normal, confirm hovered, cancel hovered', 12)
    y += 20
    for i, hv in enumerate((None, 'ok', 'cancel')):
        sheet.alpha_composite(mock_dialog(images, hv), (pad + i * 315, y))
    return sheet.crop((0, 0, W, y + 190 + pad)).convert('RGB')


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--res', default=os.path.join(ROOT, 'res'),
                    help='resource folder to write into (default: the checkout\'s res/)')
    ap.add_argument('--sheet', default=os.path.join(ROOT, 'docs', 'art-overview.png'),
                    help='contact sheet to write (empty string: none)')
    args = ap.parse_args()

    png_dir = os.path.join(args.res, 'png')
    icon_dir = os.path.join(args.res, 'icon')
    os.makedirs(png_dir, exist_ok=True)
    os.makedirs(icon_dir, exist_ok=True)

    catalogue = build_catalogue()
    ids = [c[0] for c in catalogue]
    if sorted(ids) != sorted(EXPECTED) or len(set(ids)) != len(ids):
        sys.exit('make_art: catalogue ids do not match the expected resource list')

    # Drop stale files of a previous run (e.g. after a rename) so each id has one file.
    names = {'%d_%s.png' % (i, n) for i, n, _ in catalogue}
    for old in os.listdir(png_dir):
        if old.endswith('.png') and old not in names:
            os.remove(os.path.join(png_dir, old))

    images, names = {}, {}
    for rid, name, painter in catalogue:
        im = painter()
        images[rid], names[rid] = im, name
        w, h, mode = EXPECTED[rid]
        if im.size != (w, h) or im.mode != mode:
            sys.exit('make_art: %d_%s painted as %dx%d %s, expected %dx%d %s' % (
                rid, name, im.size[0], im.size[1], im.mode, w, h, mode))
        im.save(os.path.join(png_dir, '%d_%s.png' % (rid, name)), 'PNG', optimize=True)

    write_ico(os.path.join(icon_dir, 'vornmark.ico'), [emblem(s) for s in (16, 32, 48, 256)])
    if args.sheet:
        os.makedirs(os.path.dirname(os.path.abspath(args.sheet)), exist_ok=True)
        overview_sheet(images, names).save(args.sheet, 'PNG', optimize=True)
    print('make_art: wrote %d images to %s and the icon to %s' % (len(catalogue), png_dir, icon_dir))


if __name__ == '__main__':
    main()
