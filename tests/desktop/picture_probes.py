# SPDX-License-Identifier: Apache-2.0
"""What a screenshot of the programs should hold, computed independently of them: kelbo
geometry from the scene's numbers, menu entries' states from an open menu's look, and the
length a rate bar's Mbits/s text calls for.
"""

import collections
import math
import struct

DEGREES = 0.017453292519943278

# The default kelbo colour and its three faces.
TX_FACES = {"dark": (64, 0, 0), "base": (128, 0, 0), "light": (153, 51, 51)}


def trunc(value):
    return int(math.trunc(value))


def kelbo_shape(rot, size):
    """(width_dx, width_dy, depth_dx, depth_dy, height_dy) from the rot and size lines."""
    a, b, c = (v * DEGREES for v in rot)
    w, d, h = size
    s = math.sin(a) * math.sin(c)
    return trunc(w * math.cos(a)), trunc(w * s), trunc(d * math.cos(b)), trunc(d * s), trunc(h * math.cos(c))


def project(rot, point):
    """A scene position (x, y, z) as its screen offset from the picture's bottom-left."""
    a, b, c = (v * DEGREES for v in rot)
    x, y, z = point
    return (trunc(x * math.cos(a) + y * math.cos(b)),
            trunc((x + y) * math.sin(a) * math.sin(c) + z * math.cos(c)))


def face_centres(shape, origin):
    """The centre of each face of a kelbo whose reference corner is at `origin` in
    screen coordinates (y grows downwards): {face: (x, y)}."""
    wdx, wdy, ddx, ddy, h = shape
    ox, oy = origin
    return {
        "dark": (ox + ddx / 2, oy + h / 2 - ddy / 2),                # depth side
        "base": (ox + wdx / 2, oy + h / 2 - wdy / 2),                # width side
        "light": (ox + (ddx + wdx) / 2, oy - (ddy + wdy) / 2),       # top
    }


def face_colours(rgb):
    """The colours of the three faces of a kelbo of colour rgb."""
    return {"dark": tuple(c // 2 for c in rgb), "base": tuple(rgb),
            "light": tuple(c + (255 - c) // 5 for c in rgb)}


def block(image, x, y, radius=3):
    """The colours found in a square around (x, y)."""
    x, y = int(round(x)), int(round(y))
    return {image.pixel(i, j) for i in range(x - radius, x + radius + 1) for j in range(y - radius, y + radius + 1)}


# --- menus

def read_menu(image):
    """The entries of an open menu (a popup window's picture), top to bottom, each as
    (kind, highlighted): kind 'on' for an item drawn in dark text or highlighted, 'off'
    for one drawn only in the pale text of a grayed item, 'sep' for a separator line."""
    columns, rows = range(2, image.width - 2), range(1, image.height - 1)
    background = collections.Counter(image.pixel(x, y) for y in rows for x in columns).most_common(1)[0][0]

    def differs(p):
        return sum(abs(a - b) for a, b in zip(p, background)) > 30

    def is_highlight(p):
        return p[2] > p[0] + 60

    # Bands of rows that hold anything but background; a gap of a row or two (between
    # a label and its mnemonic's underline) does not split a band. A separator is a
    # row of one grey across most of the menu's width; one drawn two rows thick is one.
    bands, current, gap = [], None, 0
    for y in rows:
        row = [image.pixel(x, y) for x in columns]
        marked = [p for p in row if differs(p)]
        common = max(set(row), key=row.count)
        if differs(common) and not is_highlight(common) and row.count(common) >= 0.8 * len(row):
            if bands and bands[-1][3] == "sep" and bands[-1][1] == y - 1:
                bands[-1][1] = y
            else:
                bands.append([y, y, [common], "sep"])
            current, gap = None, 0
        elif marked:
            if current is not None and gap <= 2:
                current[1] = y
                current[2].extend(marked)
            else:
                current = [y, y, marked, None]
                bands.append(current)
            gap = 0
        else:
            gap += 1
    entries = []
    for top, bottom, pixels, sep in bands:
        highlighted = sum(1 for p in pixels if is_highlight(p)) > len(pixels) // 2
        on = highlighted or min(sum(p) // 3 for p in pixels) < 100
        entries.append(("sep" if sep else "on" if on else "off", highlighted))
    return entries


def menu_states(image):
    return [kind for kind, _ in read_menu(image)]


def highlighted_entry(image):
    """Index of the highlighted entry of an open menu, or None."""
    return next((i for i, (_, highlighted) in enumerate(read_menu(image)) if highlighted), None)


# --- rate bars

def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def bar_length(width, rate):
    """Pixels of a bar in a control `width` wide for `rate` Mbits/s, computed in single
    precision and cut toward zero, at most the whole control."""
    x = f32(f32(float(width) * f32(rate)) * f32(0.01))
    return width if x >= width else max(0, trunc(x))


def bar_lengths_for_text(width, text):
    """Every length the rate text can stand for: it is the rate to four decimals."""
    rate = float(text)
    return {bar_length(width, r) for r in (rate - 0.00005, rate, rate + 0.00005)}


def longest_run(image, colour, y):
    """(length, first x) of the longest run of `colour` on row y."""
    best, run = (0, 0), 0
    for x in range(image.width):
        run = run + 1 if image.pixel(x, y) == colour else 0
        if run > best[0]:
            best = (run, x - run + 1)
    return best


def bars(image, colour, top, bottom):
    """The rate bars filled with `colour` between rows top and bottom, top to bottom,
    each as (length in pixels with its black outline, x of its left edge). A bar is a
    band of rows holding the colour; its length is measured on the band's row with the
    longest run (the scale marks cross most rows of a bar)."""
    found, band = [], []
    for y in list(range(top, bottom)) + [None]:
        run = longest_run(image, colour, y) if y is not None else (0, 0)
        if run[0] > 0:
            band.append((run, y))
            continue
        if band:
            (length, start), y_best = max(band)
            left, right = start - 1, start + length
            outlined = image.pixel(left, y_best) == (0, 0, 0) and image.pixel(right, y_best) == (0, 0, 0)
            found.append((right - left + 1, left) if outlined else (None, start))
            band = []
    return found
