# SPDX-License-Identifier: Apache-2.0
"""The real windows on a real (virtual) display, used with the keyboard and the mouse.

Usage: real_display_test.py CASE   (CASE: menus, settings, go, pixels, scale, history, boxes; none
runs all)
The programs come from the environment variables KELBOSTX and KELBOSRX; the default
scene from KELBOS_SCENES. Each case runs in its own network namespace on its own Xvfb
display, and skips (status 77) only where those cannot be had.

What the programs show is observed from outside: screenshots, the windows' titles and
icons, and the rows' ticks that --json writes to standard output (each tick line holds
the texts of the row it ticked). No program carries anything for these tests.
"""

import os
import socket
import struct
import subprocess
import sys

from display_session import Session, Window, check, parse_ppm, run, wait_until
from picture_probes import (TX_FACES, bar_lengths_for_text, bars, block, face_centres, face_colours,
                            highlighted_entry, kelbo_shape, menu_states, project)

TX = os.environ.get("KELBOSTX", "")
RX = os.environ.get("KELBOSRX", "")
SCENE = os.path.join(os.environ.get("KELBOS_SCENES", ""), "kelbostx.init")

TX_TITLE, RX_TITLE = "Kelbos Transmitter", "Kelbos Receiver"
SETTINGS_TITLE = "Communications Settings"
RX_LEFT = 800  # where the receiver's window is moved, clear of the transmitter's

# The transmitter's menus, entry by entry, in each state of a transmission.
TX_CONTROL = {
    "idle": ["on", "on", "sep", "on", "off"],       # Color, Settings, Go on; Halt tx grayed
    "sending": ["off", "off", "sep", "off", "on"],  # only Halt tx
}
TX_FILE = {
    "start": ["on", "off", "on"],    # Open, Save settings grayed, Exit
    "sending": ["off", "off", "on"],
    "after": ["on", "on", "on"],     # Save settings comes on after the first halt
}


# --- helpers


def start_pair(session, scene=SCENE, tx_args=(), rx_args=()):
    """A receiver and a transmitter on the scene, their windows side by side."""
    rx = session.start(RX, *rx_args, scene)
    tx = session.start(TX, *tx_args, scene)
    rx_window = session.window(RX_TITLE)
    tx_window = session.window(TX_TITLE)
    rx_window.move(RX_LEFT, 0)
    wait_until(lambda: rx_window.geometry()[0] == RX_LEFT, "the receiver's window to move")
    session.park_mouse()
    return tx, tx_window, rx, rx_window


def settled(capture, what, limit=10.0):
    """Captures until two captures in a row are equal: the picture has stopped changing."""
    last = [capture()]

    def same_again():
        now = capture()
        same = now == last[0]
        last[0] = now
        return now if same else None

    return wait_until(same_again, f"{what} to settle", limit=limit, interval=0.1)


def program_windows(session, program):
    """Ids of the program's visible windows: its main window, and an open menu."""
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--class", program], env=session.env,
                          capture_output=True, text=True, timeout=20).stdout.split()


def open_menu(session, program, window, key, entries):
    """Opens a menu with its Alt key; returns the popup and its settled picture, once it
    shows `entries` entries."""
    window.key(key)
    found = wait_until(lambda: [i for i in program_windows(session, program) if i != window.id],
                       f"the {key} menu of {program} to open")
    check(len(found) == 1, f"{len(found)} menus of {program} open at once")
    popup = Window(session, found[0])
    wait_until(lambda: len(menu_states(popup.shot())) == entries, f"the {key} menu to show {entries} entries")
    return popup, settled(popup.shot, f"the {key} menu of {program}")


def close_menu(session, program, window):
    window.key("Escape")
    wait_until(lambda: program_windows(session, program) == [window.id], f"the menu of {program} to close")


def check_menu(session, program, window, key, expected, state):
    _, picture = open_menu(session, program, window, key, len(expected))
    got = menu_states(picture)
    close_menu(session, program, window)
    check(got == expected, f"{program} {key} menu {state}: entries {got}, expected {expected}")


def keyboard_walk(session, program, window, key, entries, steps):
    """The entries the keyboard highlights: the one the menu opens on, then one for each
    press of Down (each press must move the highlight)."""
    popup, picture = open_menu(session, program, window, key, entries)
    walk = [highlighted_entry(picture)]
    for _ in range(steps):
        window.key("Down")
        wait_until(lambda: highlighted_entry(popup.shot()) not in (None, walk[-1]), "Down to move the highlight")
        walk.append(highlighted_entry(settled(popup.shot, "the menu")))
    close_menu(session, program, window)
    return walk


def choose(window, *keys):
    """A menu command chosen from the keyboard: its menu's Alt key, then its letter."""
    window.key(*keys)


def last_tick(program, **match):
    ticks = program.ticks(**match)
    return ticks[-1] if ticks else None


def icon_pixels(window):
    """The window's icon as the desktop gets it: (width, height, ARGB values)."""
    out = subprocess.run(["xprop", "-id", window.id, "-notype", "32c", "_NET_WM_ICON"], env=window.session.env,
                         capture_output=True, text=True).stdout
    check("=" in out, f"the window has no icon: {out.strip()!r}")
    values = [int(v) for v in out.split("=", 1)[1].replace(",", " ").split()]
    return values[0], values[1], values[2:]


# --- cases


def case_menus():
    with Session("menus") as session:
        tx, tx_window, rx, rx_window = start_pair(session)

        # Both windows carry the kelbo icon: its width side, depth side and top.
        for window in (tx_window, rx_window):
            width, height, argb = icon_pixels(window)
            check((width, height) == (64, 64), f"icon size {width}x{height}")
            faces = [argb[36 * width + 48], argb[36 * width + 16], argb[16 * width + 32]]
            check(faces == [0xFF800000, 0xFF400000, 0xFF993333], f"icon faces {[hex(f) for f in faces]}")

        check_menu(session, "kelbostx", tx_window, "alt+c", TX_CONTROL["idle"], "after start-up")
        check_menu(session, "kelbostx", tx_window, "alt+f", TX_FILE["start"], "after start-up")
        # Down goes Color, Settings, Go and round to Color again: Halt tx is skipped.
        walk = keyboard_walk(session, "kelbostx", tx_window, "alt+c", 5, 3)
        check(walk == [0, 1, 3, 0], f"the keyboard went through entries {walk} of the Control menu")
        check_menu(session, "kelbosrx", rx_window, "alt+c", ["off"], "(Stop)")
        check_menu(session, "kelbosrx", rx_window, "alt+f", ["on", "on", "on"], "(File)")

        # The enabled commands work from the keyboard: each opens its dialog.
        for keys, title in ((("alt+c", "c"), "Select Color"), (("alt+c", "s"), SETTINGS_TITLE),
                            (("alt+f", "o"), "Open kelbos file")):
            choose(tx_window, *keys)
            dialog = session.window(title)
            dialog.key("Escape")
            session.wait_gone(title)

        choose(tx_window, "alt+c", "g")
        wait_until(lambda: last_tick(tx, protocol="UDP"), "the transmitter's row to tick after Go")
        check_menu(session, "kelbostx", tx_window, "alt+c", TX_CONTROL["sending"], "while sending")
        check_menu(session, "kelbostx", tx_window, "alt+f", TX_FILE["sending"], "while sending")
        # The menu opens on its first entry that can be chosen: Halt tx.
        walk = keyboard_walk(session, "kelbostx", tx_window, "alt+c", 5, 0)
        check(walk == [4], f"while sending the Control menu opened on entry {walk}")

        # Grayed Settings does nothing; the Halt chosen after it in the same menu acts, so
        # the keys were read in order and no dialog came between them.
        choose(tx_window, "alt+c", "s", "h")
        wait_until(lambda: tx.events_of("end"), "the transmission to halt")
        check(tx.events_of("end")[-1]["how"] == "halted", f"end event {tx.events_of('end')[-1]}")
        check(not session.find_windows(SETTINGS_TITLE), "grayed Settings opened its dialog while sending")

        check_menu(session, "kelbostx", tx_window, "alt+c", TX_CONTROL["idle"], "after Halt tx")
        check_menu(session, "kelbostx", tx_window, "alt+f", TX_FILE["after"], "after Halt tx")

        choose(tx_window, "alt+f", "e")
        check(tx.process.wait(timeout=20) == 0, "Exit ended the transmitter with a failure status")


# Field 119 (the kelbo size in bytes) in the settings dialog, in dialog units of its
# 260 by 193 frame: x, y, width, height.
FIELD_119 = (160, 108, 57, 12)
DIALOG_UNITS = (260, 193)
APPLY_BUTTON = (166, 173, 40, 14)


def dialog_part(dialog_picture, part):
    """A control's area cut from the dialog's picture, two pixels inside its edges."""
    x, y, w, h = part
    fx, fy = dialog_picture.width / DIALOG_UNITS[0], dialog_picture.height / DIALOG_UNITS[1]
    left, top = int(x * fx) + 2, int(y * fy) + 2
    return dialog_picture.crop(left, top, int((x + w) * fx) - 2 - left, int((y + h) * fy) - 2 - top)


def open_settings(session, tx_window):
    choose(tx_window, "alt+c", "s")
    dialog = session.window(SETTINGS_TITLE)
    settled(lambda: dialog_part(dialog.shot(), FIELD_119), "field 119")
    return dialog


def case_settings():
    """Typed with real key presses right after the dialog opens: the receiver name
    replaces "localhost", and a name that begins list entries and a kelbo size that
    begins 10000000 stay as typed; Apply. The dialog opened again shows them, field 119
    with the new size in bytes; Enter after another name starts a transmission with
    them."""
    new_receiver, new_size = "kelbos", "1000"
    with Session("settings") as session:
        tx, tx_window, rx, rx_window = start_pair(session)

        dialog = open_settings(session, tx_window)
        field_before = settled(lambda: dialog_part(dialog.shot(), FIELD_119), "field 119")
        # The receiver box has the focus with its text selected: typing replaces it.
        dialog.type(new_receiver)
        dialog.key("Tab", "ctrl+a")
        dialog.type(new_size)
        # Field 119 keeps the size the dialog opened with.
        check(settled(lambda: dialog_part(dialog.shot(), FIELD_119), "field 119") == field_before,
              "field 119 changed while the dialog was open")
        dialog.click((APPLY_BUTTON[0] + APPLY_BUTTON[2] / 2) / DIALOG_UNITS[0],
                     (APPLY_BUTTON[1] + APPLY_BUTTON[3] / 2) / DIALOG_UNITS[1])
        session.wait_gone(SETTINGS_TITLE)

        dialog = open_settings(session, tx_window)
        reopened = settled(dialog.shot, "the reopened dialog")
        check(dialog_part(reopened, FIELD_119) != field_before, "field 119 still shows the old kelbo size after Apply")
        dialog.key("Escape")
        session.wait_gone(SETTINGS_TITLE)

        # A transmitter started with these settings shows its dialog exactly so: the
        # receiver box, the kelbo size box and field 119 (the size in bytes) included.
        # (The text cursor blinks in the receiver box: wait for the same phase.)
        reference = session.start(TX, "--receiver", new_receiver, "--kelbo-size", new_size, SCENE)
        reference_window = session.window(TX_TITLE, count=2)
        reference_window = [w for w in reference_window if w.id != tx_window.id][0]
        reference_dialog = open_settings(session, reference_window)
        wait_until(lambda: reference_dialog.shot() == reopened,
                   "the reopened dialog to look like a dialog opened with the new settings")
        reference_dialog.key("Escape")
        session.wait_gone(SETTINGS_TITLE)
        reference.stop()

        # Another name typed at once, then Enter (Go): the rows tick with the receiver
        # name and the kelbo size the dialog committed.
        dialog = open_settings(session, tx_window)
        dialog.type("127.0.0.1")
        dialog.key("Return")
        tick = wait_until(lambda: last_tick(tx, row="127.0.0.1"), "the transmitter's row to tick")
        check(tick["kelbo_bits"] == int(new_size) and tick["protocol"] == "UDP", f"transmitter tick {tick}")
        link = wait_until(lambda: last_tick(rx, conn_id=1), "the receiver's link row to tick")
        check(link["kelbo_bits"] == int(new_size) and link["protocol"] == "UDP", f"receiver tick {link}")
        choose(tx_window, "alt+c", "h")
        wait_until(lambda: tx.events_of("end"), "the transmission to halt")


def rows_bottom(picture):
    """Where the rows end in a window's picture: the first black block down its left
    edge (the rows are grey, the picture behind them black; a letter at the row's left
    edge is no solid block)."""
    for y in range(picture.height - 4):
        if all(picture.pixel(x, y + dy) == (0, 0, 0) for x in range(6) for dy in range(4)):
            return y
    raise AssertionError("no picture below the rows")


def lower_part(window):
    """The picture's lower part, well clear of the rows."""
    shot = window.shot()
    top = shot.height * 2 // 5
    return shot.crop(0, top, shot.width, shot.height - top)


def rising_tick(program, **match):
    """The latest tick with a rate above 0."""
    tick = last_tick(program, **match)
    return tick if tick and tick["mbits_per_s"] > 0 else None


def case_go():
    """Go from the menu with a receiver running: both pictures change, both programs'
    rows tick with rates, and their bars are drawn."""
    with Session("go") as session:
        tx, tx_window, rx, rx_window = start_pair(session)
        tx_before = settled(lambda: lower_part(tx_window), "the transmitter's picture")
        rx_before = settled(lambda: lower_part(rx_window), "the receiver's picture")
        check(set(rx_before.data) == {0}, "the receiver's picture is not empty before any data")
        check(set(tx_before.data) != {0}, "the transmitter's picture is empty")

        choose(tx_window, "alt+c", "g")
        wait_until(lambda: lower_part(tx_window) != tx_before, "the transmitter's picture to change")
        wait_until(lambda: lower_part(rx_window) != rx_before, "the receiver's picture to change")
        tick = wait_until(lambda: rising_tick(tx, row="localhost", protocol="UDP"),
                          "a rate in the transmitter's row")
        link = wait_until(lambda: rising_tick(rx, conn_id=1, protocol="UDP"), "a rate in the receiver's link row")
        total = wait_until(lambda: rising_tick(rx, conn_id=0, row="TOTAL"), "a rate in the receiver's TOTAL row")
        print(f"rates: transmitter {tick['mbits_per_s']}, link {link['mbits_per_s']}, "
              f"TOTAL {total['mbits_per_s']} Mbits/s")

        # On screen: the transmitter's one value row with its bar; the receiver's link
        # row, added above TOTAL, with a bar in the link's colour.
        def bars_in_rows(window, colour):
            shot = window.shot()
            return bars(shot, colour, 0, rows_bottom(shot))

        wait_until(lambda: len(bars_in_rows(tx_window, TX_FACES["base"])) == 1, "the transmitter's bar")
        wait_until(lambda: len(bars_in_rows(rx_window, TX_FACES["base"])) == 1, "the link row's bar")
        choose(tx_window, "alt+c", "h")
        wait_until(lambda: tx.events_of("end"), "the transmission to halt")
        wait_until(lambda: rx.events_of("link_end"), "the receiver to see the link end")


# A scene of one kelbo, big and low in the picture.
ROT, SIZE, POINT = (30, 150, 60), (120, 120, 160), (400, 100, 0)
ONE_KELBO = (f"set kelbo\nrot {ROT[0]}, {ROT[1]}, {ROT[2]}\nsize {SIZE[0]}, {SIZE[1]}, {SIZE[2]}\n"
             f"space 130, 130, 170\nset points\n{POINT[0]}, {POINT[1]}, {POINT[2]}\n")


def kelbo_probes(window):
    """The screen points inside the three faces of the scene's kelbo in the window:
    the picture's bottom is the window's bottom."""
    x, y, w, h = window.geometry()
    offset = project(ROT, POINT)
    return face_centres(kelbo_shape(ROT, SIZE), (x + offset[0], y + h - offset[1]))


def faces_seen(session, window):
    shot = session.screenshot()
    return {face: block(shot, *point) for face, point in kelbo_probes(window).items()}


def faces_are(session, window, colours):
    seen = faces_seen(session, window)
    return all(seen[face] == {colour} for face, colour in colours.items())


def bar_width_candidates(rows_width):
    """The bar control's possible widths for a row `rows_width` pixels wide: the row is
    385 dialog units, the bar runs from 165 to 366."""
    lround = lambda v: int(v + 0.5)
    unit_low, unit_high = (rows_width - 0.5) / 385, (rows_width + 0.5) / 385
    steps = 200
    units = [unit_low + (unit_high - unit_low) * i / steps for i in range(steps)]
    return {lround(366 * u) - lround(165 * u) for u in units if lround(385 * u) == rows_width}


def last_rate_text(program, **match):
    ticks = program.ticks(**match)
    check(ticks, f"no tick of {program.name} with {match}")
    return "%5.4f" % ticks[-1]["mbits_per_s"]


def check_bar(length, widths, text, what):
    allowed = set().union(*(bar_lengths_for_text(w, text) for w in widths))
    check(length in allowed, f"{what}: a bar of {length} pixels for {text} Mbits/s; expected one of {sorted(allowed)}"
                             f" (bar control {sorted(widths)} pixels wide)")
    print(f"{what}: {text} Mbits/s, a bar of {length} pixels in a control {sorted(widths)} wide")


def case_pixels():
    """Pixel probes: the transmitter's kelbo in the default colour's three faces, the
    receiver's first kelbo in the link's colours, and rate bars as long as their texts."""
    with Session("pixels") as session:
        scene = os.path.join(session.tmp, "one.init")
        with open(scene, "w") as f:
            f.write(ONE_KELBO)
        tx, tx_window, rx, rx_window = start_pair(session, scene, tx_args=("--transport", "tcp"))

        wait_until(lambda: faces_are(session, tx_window, TX_FACES),
                   "the transmitter's kelbo in RGB(64, 0, 0), (128, 0, 0) and (153, 51, 51)")
        check(faces_are(session, rx_window, {f: (0, 0, 0) for f in TX_FACES}),
              f"the receiver's picture is not empty: {faces_seen(session, rx_window)}")

        choose(tx_window, "alt+c", "g")
        wait_until(lambda: faces_are(session, rx_window, face_colours(TX_FACES["base"])),
                   "the receiver's first kelbo in the link's colours")
        wait_until(lambda: len(tx.ticks(protocol="TCP")) >= 2 and rising_tick(rx, conn_id=1),
                   "two ticks of the transmitter's row")
        choose(tx_window, "alt+c", "h")
        wait_until(lambda: rx.events_of("link_end"), "the link to end")
        check(faces_are(session, tx_window, TX_FACES), "the transmitter's one kelbo went away")

        # The bar control's width: a full bar shows it when the rate passed 100 Mbits/s;
        # otherwise it follows from the row's width in dialog units.
        tx_shot = tx_window.shot()
        tx_bars = bars(tx_shot, TX_FACES["base"], 0, rows_bottom(tx_shot))
        check(len(tx_bars) == 1 and tx_bars[0][0], f"the transmitter's bar: {tx_bars}")
        text = last_rate_text(tx, protocol="TCP")
        row_y = rows_bottom(tx_shot) - 2
        rows_width = max(x for x in range(tx_shot.width) if tx_shot.pixel(x, row_y) != (0, 0, 0)) + 1
        widths = bar_width_candidates(rows_width)
        if float(text) >= 100:
            check(tx_bars[0][0] in widths, f"a full bar of {tx_bars[0][0]} pixels in a row {rows_width} wide")
            widths = {tx_bars[0][0]}
        check_bar(tx_bars[0][0], widths, text, "transmitter, back to back")
        rx_shot = rx_window.shot()
        rx_bars = bars(rx_shot, TX_FACES["base"], 0, rows_bottom(rx_shot))
        check(len(rx_bars) == 1 and rx_bars[0][0], f"the link row's bar: {rx_bars}")
        check_bar(rx_bars[0][0], widths, last_rate_text(rx, conn_id=1), "receiver link row, back to back")

        # A paced transmission gives a bar that ends inside the control.
        choose(tx_window, "alt+f", "e")
        check(tx.process.wait(timeout=20) == 0, "Exit ended the transmitter with a failure status")
        paced = session.start(TX, "--transport", "tcp", "--delay", "1", "--msg-size", "2000", scene)
        paced_window = session.window(TX_TITLE)
        choose(paced_window, "alt+c", "g")
        wait_until(lambda: len([t for t in paced.ticks(protocol="TCP") if t["mbits_per_s"] >= 1]) >= 2,
                   "two ticks of at least 1 Mbits/s")
        choose(paced_window, "alt+c", "h")
        wait_until(lambda: len(rx.events_of("link_end")) == 2, "the paced link to end")
        text = last_rate_text(paced, protocol="TCP")
        check(float(text) < 100, f"the paced transmission ran at {text} Mbits/s")
        shot = paced_window.shot()
        paced_bars = bars(shot, TX_FACES["base"], 0, rows_bottom(shot))
        check(len(paced_bars) == 1 and paced_bars[0][0], f"the paced transmitter's bar: {paced_bars}")
        check_bar(paced_bars[0][0], widths, text, "transmitter, paced")
        # The paced link's row is the lowest link row, right above TOTAL.
        rx_shot = rx_window.shot()
        rx_bars = bars(rx_shot, TX_FACES["base"], 0, rows_bottom(rx_shot))
        check(rx_bars and rx_bars[-1][0], f"the paced link row's bar: {rx_bars}")
        check_bar(rx_bars[-1][0], widths, last_rate_text(rx, conn_id=2), "receiver link row, paced")


def paced_transmission(session, tx, tx_window, rx, at_least):
    """Go, two ticks of at least `at_least` Mbits/s, Halt: the bars keep the last tick's
    rate. Returns the last rate of the transmitter's row."""
    ends = len(rx.events_of("link_end"))
    choose(tx_window, "alt+c", "g")
    wait_until(lambda: len([t for t in tx.ticks(protocol="TCP") if t["mbits_per_s"] >= at_least]) >= 2,
               f"two ticks of at least {at_least} Mbits/s")
    choose(tx_window, "alt+c", "h")
    wait_until(lambda: len(rx.events_of("link_end")) > ends, "the link to end")
    return float(last_rate_text(tx, protocol="TCP"))


def bar_share(window, colour):
    """(bar length over the bar control's width, the rows' width, the row's top and
    bottom) of the lowest bar in `colour` in the window's rows."""
    shot = window.shot()
    found = bars(shot, colour, 0, rows_bottom(shot))
    check(len(found) >= 1 and found[-1][0], f"no whole bar in {colour}: {found}")
    length, left = found[-1]
    row_y = rows_bottom(shot) - 2
    rows_width = max(x for x in range(shot.width) if shot.pixel(x, row_y) != (0, 0, 0)) + 1
    widths = bar_width_candidates(rows_width)
    inside = [y for y in range(rows_bottom(shot)) if shot.pixel(left + 2, y) == colour]
    return length / (sum(widths) / len(widths)), rows_width, inside[0] - 1, inside[-1] + 2


def check_share(window, colour, rate, full, what):
    share, _, _, _ = bar_share(window, colour)
    check(0.05 <= rate / full <= 0.9, f"{what}: {rate} Mbits/s is not well inside a scale of {full}")
    check(abs(share - rate / full) <= 0.03, f"{what}: a bar at {share:.3f} of the scale for {rate} of {full}")
    print(f"{what}: {rate} Mbits/s on a scale of {full}: bar at {share:.3f}")


def scale_labels_strip(window, rows_width, row_top, row_bottom):
    """The header's scale labels: the header row right above the value row, from the
    bar's left end across."""
    left = rows_width * 160 // 385
    return window.shot().crop(left, 2 * row_top - row_bottom, rows_width - left, row_bottom - row_top)


def case_scale():
    """The View menu and its bar scales: a paced link's bar at its share of 100 Mbits/s
    and of 1 Gbit/s (chosen from the menu and on the command line), the receiver on
    Automatic moving to 1 Gbit/s when its link's rate rises past 100."""
    with Session("scale") as session:
        slow = ("--transport", "tcp", "--delay", "1", "--msg-size", "6000")
        tx, tx_window, rx, rx_window = start_pair(session, tx_args=slow)
        for program, window in (("kelbostx", tx_window), ("kelbosrx", rx_window)):
            check_menu(session, program, window, "alt+v", ["on", "on"], "(View)")
        choose(rx_window, "alt+v", "b", "a")

        rate = paced_transmission(session, tx, tx_window, rx, 1)
        check_share(tx_window, TX_FACES["base"], rate, 100, "transmitter on 100 Mbits/s")
        _, rows_width, top, bottom = bar_share(tx_window, TX_FACES["base"])
        labels_100 = scale_labels_strip(tx_window, rows_width, top, bottom)
        check(scale_labels_strip(rx_window, rows_width, top, bottom) == labels_100,
              "the receiver on Automatic left 100 Mbits/s for a slow link")
        # 1 Gbit/s chosen from the menu: the header's labels change.
        choose(tx_window, "alt+v", "b", "1")
        labels_1g = wait_until(lambda: (lambda strip: strip if strip != labels_100 else None)(
            scale_labels_strip(tx_window, rows_width, top, bottom)), "the header's labels to change")

        # A faster link, its transmitter started on 1 Gbit/s: the receiver follows it.
        choose(tx_window, "alt+f", "e")
        check(tx.process.wait(timeout=20) == 0, "Exit ended the transmitter with a failure status")
        fast = session.start(TX, "--bar-scale", "1G", "--transport", "tcp", "--delay", "1", "--msg-size", "60000",
                             SCENE)
        fast_window = session.window(TX_TITLE)
        rate = paced_transmission(session, fast, fast_window, rx, 100)
        check_share(fast_window, TX_FACES["base"], rate, 1000, "transmitter on 1 Gbit/s")
        check(scale_labels_strip(fast_window, rows_width, top, bottom) == labels_1g, "--bar-scale 1G labels")
        check(scale_labels_strip(rx_window, rows_width, top, bottom) == labels_1g,
              "the receiver on Automatic did not move to 1 Gbit/s")
        rx_rate = float(last_rate_text(rx, conn_id=2))
        check_share(rx_window, TX_FACES["base"], rx_rate, 1000, "receiver link row on Automatic")


def image_file(path):
    """An image file as an Image, read through ImageMagick."""
    blob = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], capture_output=True, timeout=20,
                          check=True).stdout
    return parse_ppm(blob)


def colour_count(image, colour):
    return sum(1 for i in range(0, len(image.data), 3) if tuple(image.data[i:i + 3]) == colour)


def case_history():
    """View > Rate History...: a line in the link's colour; Save As writes the plot as a
    PNG and its points as CSV."""
    with Session("history") as session:
        tx, tx_window, rx, rx_window = start_pair(session, tx_args=("--delay", "1", "--msg-size", "6000"))
        choose(tx_window, "alt+c", "g")
        wait_until(lambda: len([t for t in rx.ticks(conn_id=1) if t["mbits_per_s"] > 1]) >= 3,
                   "three ticks of the link")
        choose(rx_window, "alt+v", "h")
        history = session.window(RX_TITLE + " - Rate History")
        history.move(0, 560)
        link = TX_FACES["base"]
        # Below the legend (and the window's menu bar), where the lines are.
        lower = lambda image, top: image.crop(0, top, image.width, image.height - top)
        wait_until(lambda: colour_count(lower(history.shot(), 60), link) > 50, "a line in the link's colour")

        png, csv = os.path.join(session.tmp, "plot.png"), os.path.join(session.tmp, "points.csv")
        for path in (png, csv):
            choose(history, "alt+f", "a")
            dialog = session.window("Save rate history")
            dialog.type(path)
            dialog.key("Return")
            session.wait_gone("Save rate history")
            wait_until(lambda: os.path.exists(path), f"{path} to be written")
        plot, shot = image_file(png), history.shot()
        # The image is the plot: the window's picture below its menu bar, the legend's
        # strip along the top exactly as on the screen, and the link's line in it.
        check(plot.width == shot.width and plot.height < shot.height, f"a plot of {plot.width}x{plot.height}")
        top = shot.height - plot.height
        check(plot.crop(0, 0, plot.width, 12) == shot.crop(0, top, plot.width, 12), "the PNG is not the plot")
        check(colour_count(lower(plot, 30), link) > 50, "the PNG lacks the link's line")
        with open(csv) as f:
            lines = f.read().splitlines()
        check(lines[0] == "time,row,mbits_per_s", f"CSV header {lines[0]!r}")
        rows = {line.split(",")[1] for line in lines[1:]}
        check(rows == {"TOTAL", "localhost #1"}, f"CSV rows {rows}")


def case_boxes():
    """Thirty links fail while the first failure box is unanswered: one box on the screen, the
    rest waiting or on standard error, and the receiver's memory flat."""
    with Session("boxes") as session:
        rx = session.start(RX, SCENE)
        session.window(RX_TITLE)
        request = struct.pack("<II40s20sBBBB", 2500000, 1000, b"boxes", b"#00FF00", 2, 1, 5, 0)

        def fail_link():  # set up (not refused, as while ten rows are still shown), then closed
            with socket.create_connection(("127.0.0.1", 54276)) as s:
                s.sendall(request)
                return s.recv(4)[1:2] == b"\x01"

        sizes = []
        for n in range(1, 31):
            wait_until(fail_link, f"link {n} to be accepted", limit=40, interval=0.5)
            wait_until(lambda: len(rx.events_of("link_end")) == n, f"link {n} to end")
            with open(f"/proc/{rx.process.pid}/status") as f:
                sizes += [int(line.split()[1]) for line in f if line.startswith("VmRSS:")]
        check(len(program_windows(session, "kelbosrx")) == 2, "not one box beside the main window")
        check(sizes[-1] - sizes[9] < 2048, f"memory grew from {sizes[9]} to {sizes[-1]} kB")


CASES = {"menus": case_menus, "settings": case_settings, "go": case_go, "pixels": case_pixels,
         "scale": case_scale, "history": case_history, "boxes": case_boxes}

if __name__ == "__main__":
    sys.exit(run(CASES, sys.argv))
