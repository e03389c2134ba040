# SPDX-License-Identifier: Apache-2.0
"""The real windows on a real (virtual) display, used with the keyboard and the mouse.

Usage: real_display_test.py CASE (menus_settings, pixels, scale, history; none: all).
KELBOSTX and KELBOSRX name the programs, KELBOS_SCENES the default scene's folder. Each case
runs in its own network namespace on its own Xvfb display (status 77 where those cannot be
had) and observes the programs from outside only: screenshots, window titles and icons, and
the --json ticks (each holds the texts of the row it ticked).
"""

import os
import socket
import struct
import subprocess
import sys

from display_session import Session, Window, check, magick, run, wait_until
from picture_probes import (TX_FACES, bar_lengths_for_text, bars, block, face_centres, face_colours,
                            highlighted_entry, kelbo_shape, menu_states, project)

TX = os.environ.get("KELBOSTX", "")
RX = os.environ.get("KELBOSRX", "")
SCENE = os.path.join(os.environ.get("KELBOS_SCENES", ""), "kelbostx.init")

TX_TITLE, RX_TITLE = "Kelbos Transmitter", "Kelbos Receiver"
SETTINGS_TITLE = "Communications Settings"
RX_LEFT = 800  # where the receiver's window is moved, clear of the transmitter's
LINK = TX_FACES["base"]  # the first link's colour: the transmitter's default

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


def start_pair(session, scene=SCENE, tx_args=()):
    """A receiver and a transmitter on the scene, their windows side by side."""
    rx = session.start(RX, scene)
    tx = session.start(TX, *tx_args, scene)
    rx_window, tx_window = session.window(RX_TITLE), session.window(TX_TITLE)
    rx_window.move(RX_LEFT, 0)
    wait_until(lambda: rx_window.geometry()[0] == RX_LEFT, "the receiver's window to move")
    session.park_mouse()
    return tx, tx_window, rx, rx_window


def settled(capture, what):
    """Captures until two captures in a row are equal: the picture has stopped changing."""
    last = [capture()]

    def same_again():
        before, last[0] = last[0], capture()
        return last[0] if last[0] == before else None

    return wait_until(same_again, f"{what} to settle", limit=10.0, interval=0.1)


def open_menu(session, program, window, key, entries):
    """Opens a menu with its Alt key; returns the popup and its settled picture of `entries` entries."""
    window.key(key)
    found = wait_until(lambda: [i for i in session.search("--class", program) if i != window.id],
                       f"the {key} menu of {program} to open")
    check(len(found) == 1, f"{len(found)} menus of {program} open at once")
    popup = Window(session, found[0])
    wait_until(lambda: len(menu_states(popup.shot())) == entries, f"the {key} menu to show {entries} entries")
    return popup, settled(popup.shot, f"the {key} menu of {program}")


def close_menu(session, program, window):
    window.key("Escape")
    wait_until(lambda: session.search("--class", program) == [window.id], f"the menu of {program} to close")


def check_menu(session, program, window, key, expected, state):
    _, picture = open_menu(session, program, window, key, len(expected))
    got = menu_states(picture)
    close_menu(session, program, window)
    check(got == expected, f"{program} {key} menu {state}: entries {got}, expected {expected}")


def check_tx_menus(session, window, control, file, state):
    check_menu(session, "kelbostx", window, "alt+c", TX_CONTROL[control], state)
    check_menu(session, "kelbostx", window, "alt+f", TX_FILE[file], state)


def keyboard_walk(session, program, window, key, entries, steps):
    """The entries the keyboard highlights: the one the menu opens on, then one per Down
    (each press must move the highlight)."""
    popup, picture = open_menu(session, program, window, key, entries)
    walk = [highlighted_entry(picture)]
    for _ in range(steps):
        window.key("Down")
        wait_until(lambda: highlighted_entry(popup.shot()) not in (None, walk[-1]), "Down to move the highlight")
        walk.append(highlighted_entry(settled(popup.shot, "the menu")))
    close_menu(session, program, window)
    return walk


def dismiss(session, dialog, title):
    dialog.key("Escape")
    session.wait_gone(title)


def exit_tx(tx, tx_window):
    tx_window.key("alt+f", "e")
    check(tx.process.wait(timeout=20) == 0, "Exit ended the transmitter with a failure status")


def last_tick(program, rising=False, **match):
    """The latest tick (`rising`: only while its rate is above 0), or None."""
    ticks = program.ticks(**match)
    return ticks[-1] if ticks and (not rising or ticks[-1]["mbits_per_s"] > 0) else None


def last_rate_text(program, **match):
    ticks = program.ticks(**match)
    check(ticks, f"no tick of {program.name} with {match}")
    return "%5.4f" % ticks[-1]["mbits_per_s"]


def icon_pixels(window):
    """The window's icon as the desktop gets it: (width, height, ARGB values)."""
    out = subprocess.run(["xprop", "-id", window.id, "-notype", "32c", "_NET_WM_ICON"], env=window.session.env,
                         capture_output=True, text=True).stdout
    check("=" in out, f"the window has no icon: {out.strip()!r}")
    values = [int(v) for v in out.split("=", 1)[1].replace(",", " ").split()]
    return values[0], values[1], values[2:]


# Field 119 (the kelbo size in bytes) and the Apply button in the settings dialog, in
# dialog units of its 260 by 193 frame: x, y, width, height.
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
    """The settings dialog, and its field 119 once settled."""
    tx_window.key("alt+c", "s")
    dialog = session.window(SETTINGS_TITLE)
    return dialog, settled(lambda: dialog_part(dialog.shot(), FIELD_119), "field 119")


# --- cases


def case_menus_settings():
    """The menus' entries in each state, worked from the keyboard; Go with a receiver running:
    both pictures change, both programs' rows tick with rates, and their bars are drawn. Then
    the settings dialog: typed settings applied, shown again, and used by the next Go."""
    with Session("menus_settings") as session:
        tx, tx_window, rx, rx_window = start_pair(session)

        # Both windows carry the kelbo icon: its width side, depth side and top.
        for window in (tx_window, rx_window):
            width, height, argb = icon_pixels(window)
            check((width, height) == (64, 64), f"icon size {width}x{height}")
            faces = [argb[36 * width + 48], argb[36 * width + 16], argb[16 * width + 32]]
            check(faces == [0xFF800000, 0xFF400000, 0xFF993333], f"icon faces {[hex(f) for f in faces]}")

        check_tx_menus(session, tx_window, "idle", "start", "after start-up")
        # Down goes Color, Settings, Go and round to Color again: Halt tx is skipped.
        walk = keyboard_walk(session, "kelbostx", tx_window, "alt+c", 5, 3)
        check(walk == [0, 1, 3, 0], f"the keyboard went through entries {walk} of the Control menu")
        check_menu(session, "kelbosrx", rx_window, "alt+c", ["off"], "(Stop)")
        check_menu(session, "kelbosrx", rx_window, "alt+f", ["on", "on", "on"], "(File)")

        # The enabled commands work from the keyboard: each opens its dialog.
        for keys, title in ((("alt+c", "c"), "Select Color"), (("alt+c", "s"), SETTINGS_TITLE),
                            (("alt+f", "o"), "Open kelbos file")):
            tx_window.key(*keys)
            dismiss(session, session.window(title), title)

        tx_before = settled(lambda: lower_part(tx_window), "the transmitter's picture")
        rx_before = settled(lambda: lower_part(rx_window), "the receiver's picture")
        check(set(rx_before.data) == {0}, "the receiver's picture is not empty before any data")
        check(set(tx_before.data) != {0}, "the transmitter's picture is empty")
        tx_window.key("alt+c", "g")
        wait_until(lambda: lower_part(tx_window) != tx_before, "the transmitter's picture to change")
        wait_until(lambda: lower_part(rx_window) != rx_before, "the receiver's picture to change")
        for program, match, row in ((tx, {"row": "localhost", "protocol": "UDP"}, "the transmitter's row"),
                                    (rx, {"conn_id": 1, "protocol": "UDP"}, "the receiver's link row"),
                                    (rx, {"conn_id": 0, "row": "TOTAL"}, "the receiver's TOTAL row")):
            tick = wait_until(lambda: last_tick(program, rising=True, **match), f"a rate in {row}")
            print(f"{row}: {tick['mbits_per_s']} Mbits/s")
        # The transmitter's one value row with its bar; the receiver's link row, added
        # above TOTAL, with a bar in the link's colour.
        wait_until(lambda: len(row_bars(tx_window.shot())) == 1, "the transmitter's bar")
        wait_until(lambda: len(row_bars(rx_window.shot())) == 1, "the link row's bar")
        check_tx_menus(session, tx_window, "sending", "sending", "while sending")
        # The menu opens on its first entry that can be chosen: Halt tx.
        walk = keyboard_walk(session, "kelbostx", tx_window, "alt+c", 5, 0)
        check(walk == [4], f"while sending the Control menu opened on entry {walk}")

        # Grayed Settings does nothing; the Halt chosen after it in the same menu acts, so
        # the keys were read in order and no dialog came between them.
        tx_window.key("alt+c", "s", "h")
        wait_until(lambda: tx.events_of("end"), "the transmission to halt")
        check(tx.events_of("end")[-1]["how"] == "halted", f"end event {tx.events_of('end')[-1]}")
        check(not session.find_windows(SETTINGS_TITLE), "grayed Settings opened its dialog while sending")
        wait_until(lambda: rx.events_of("link_end"), "the receiver to see the link end")

        check_tx_menus(session, tx_window, "idle", "after", "after Halt tx")

        # Typed with real key presses right after the dialog opens: the receiver name replaces
        # "localhost", a name and a kelbo size stay as typed; Apply.
        new_receiver, new_size = "kelbos", "1000"
        dialog, field_before = open_settings(session, tx_window)
        # The receiver box has the focus with its text selected: typing replaces it.
        dialog.type(new_receiver)
        dialog.key("Tab", "ctrl+a")
        dialog.type(new_size)
        check(settled(lambda: dialog_part(dialog.shot(), FIELD_119), "field 119") == field_before,
              "field 119 changed while the dialog was open")
        dialog.click((APPLY_BUTTON[0] + APPLY_BUTTON[2] / 2) / DIALOG_UNITS[0],
                     (APPLY_BUTTON[1] + APPLY_BUTTON[3] / 2) / DIALOG_UNITS[1])
        session.wait_gone(SETTINGS_TITLE)

        # The dialog opened again shows them (field 119 with the new size in bytes).
        dialog, _ = open_settings(session, tx_window)
        reopened = settled(dialog.shot, "the reopened dialog")
        check(dialog_part(reopened, FIELD_119) != field_before, "field 119 still shows the old kelbo size after Apply")
        dismiss(session, dialog, SETTINGS_TITLE)

        # A transmitter started with these settings shows its dialog exactly so (the text
        # cursor blinks in the receiver box: wait for the same phase).
        reference = session.start(TX, "--receiver", new_receiver, "--kelbo-size", new_size, SCENE)
        reference_window = [w for w in session.window(TX_TITLE, count=2) if w.id != tx_window.id][0]
        reference_dialog, _ = open_settings(session, reference_window)
        wait_until(lambda: reference_dialog.shot() == reopened,
                   "the reopened dialog to look like a dialog opened with the new settings")
        dismiss(session, reference_dialog, SETTINGS_TITLE)
        reference.stop()

        # Another name typed at once, then Enter (Go): the rows tick with the receiver name
        # and the kelbo size the dialog committed. (The receiver's link is found by that size:
        # on a slow machine the first link's row may be gone by now, and its ConnId reused.)
        dialog, _ = open_settings(session, tx_window)
        dialog.type("127.0.0.1")
        dialog.key("Return")
        for program, match in ((tx, {"row": "127.0.0.1"}), (rx, {"kelbo_bits": int(new_size)})):
            tick = wait_until(lambda: last_tick(program, **match), f"a tick of {program.name} with {match}")
            check(tick["kelbo_bits"] == int(new_size) and tick["protocol"] == "UDP", f"{program.name} tick {tick}")
        tx_window.key("alt+c", "h")
        wait_until(lambda: len(tx.events_of("end")) == 2, "the transmission to halt")
        exit_tx(tx, tx_window)


def rows_bottom(picture):
    """Where the rows (grey, over a black picture) end: the first black block down the left
    edge (a letter at the row's left edge is no solid block)."""
    for y in range(picture.height - 4):
        if all(picture.pixel(x, y + dy) == (0, 0, 0) for x in range(6) for dy in range(4)):
            return y
    raise AssertionError("no picture below the rows")


def rows_width(shot):
    y = rows_bottom(shot) - 2
    return max(x for x in range(shot.width) if shot.pixel(x, y) != (0, 0, 0)) + 1


def row_bars(shot):
    return bars(shot, LINK, 0, rows_bottom(shot))


def lowest_bar(shot, what, only=True):
    """(length, left) of the lowest whole bar in the rows; `only`: it is the only one."""
    found = row_bars(shot)
    check((len(found) == 1 if only else found) and found[-1][0], f"{what}: {found}")
    return found[-1]


def lower_part(window):
    """The picture's lower part, well clear of the rows."""
    shot = window.shot()
    return shot.below(shot.height * 2 // 5)


# A scene of one kelbo, big and low in the picture.
ROT, SIZE, POINT = (30, 150, 60), (120, 120, 160), (400, 100, 0)
ONE_KELBO = (f"set kelbo\nrot {ROT[0]}, {ROT[1]}, {ROT[2]}\nsize {SIZE[0]}, {SIZE[1]}, {SIZE[2]}\n"
             f"space 130, 130, 170\nset points\n{POINT[0]}, {POINT[1]}, {POINT[2]}\n")


def faces_seen(session, window):
    """The colours inside the three faces of the scene's kelbo in the window (the picture's
    bottom is the window's bottom)."""
    x, y, w, h = window.geometry()
    offset = project(ROT, POINT)
    shot = session.screenshot()
    return {face: block(shot, *point)
            for face, point in face_centres(kelbo_shape(ROT, SIZE), (x + offset[0], y + h - offset[1])).items()}


def faces_are(session, window, colours):
    seen = faces_seen(session, window)
    return all(seen[face] == {colour} for face, colour in colours.items())


def bar_width_candidates(rows_width):
    """The bar control's possible widths for a row `rows_width` pixels wide: the row is
    385 dialog units, the bar runs from 165 to 366."""
    lround = lambda v: int(v + 0.5)
    unit_low, unit_high = (rows_width - 0.5) / 385, (rows_width + 0.5) / 385
    units = [unit_low + (unit_high - unit_low) * i / 200 for i in range(200)]
    return {lround(366 * u) - lround(165 * u) for u in units if lround(385 * u) == rows_width}


def check_bar(shot, widths, text, what, only=True):
    """The lowest bar in the shot's rows is as long as the rate text calls for."""
    length = lowest_bar(shot, what, only)[0]
    allowed = set().union(*(bar_lengths_for_text(w, text) for w in widths))
    check(length in allowed, f"{what}: a bar of {length} pixels for {text} Mbits/s; expected one of {sorted(allowed)}"
                             f" (bar control {sorted(widths)} pixels wide)")
    print(f"{what}: {text} Mbits/s, a bar of {length} pixels in a control {sorted(widths)} wide")


def paced_transmission(tx, tx_window, rx, at_least):
    """Go, two ticks of at least `at_least` Mbits/s, Halt (the bars keep the last tick's
    rate); the last rate text of the transmitter's row."""
    ends = len(rx.events_of("link_end"))
    tx_window.key("alt+c", "g")
    wait_until(lambda: len([t for t in tx.ticks(protocol="TCP") if t["mbits_per_s"] >= at_least]) >= 2,
               f"two ticks of at least {at_least} Mbits/s")
    tx_window.key("alt+c", "h")
    wait_until(lambda: len(rx.events_of("link_end")) > ends, "the link to end")
    return last_rate_text(tx, protocol="TCP")


def case_pixels():
    """Pixel probes: the transmitter's kelbo in the default colour's three faces, the
    receiver's first kelbo in the link's colours, a tool tip over the unfocused receiver, rate
    bars as long as their texts, beyond the scale with an arrow head, stretched with the window;
    then failure boxes shown one at a time over their window."""
    with Session("pixels") as session:
        scene = os.path.join(session.tmp, "one.init")
        with open(scene, "w") as f:
            f.write(ONE_KELBO)
        tx, tx_window, rx, rx_window = start_pair(session, scene, tx_args=("--transport", "tcp"))

        wait_until(lambda: faces_are(session, tx_window, TX_FACES),
                   "the transmitter's kelbo in RGB(64, 0, 0), (128, 0, 0) and (153, 51, 51)")
        check(faces_are(session, rx_window, {f: (0, 0, 0) for f in TX_FACES}),
              f"the receiver's picture is not empty: {faces_seen(session, rx_window)}")

        tx_window.key("alt+c", "g")
        wait_until(lambda: faces_are(session, rx_window, face_colours(LINK)),
                   "the receiver's first kelbo in the link's colours")
        wait_until(lambda: len(tx.ticks(protocol="TCP")) >= 2 and last_tick(rx, rising=True, conn_id=1),
                   "two ticks of the transmitter's row")
        # The link's row shows its tool tip while its window has no focus.
        _, _, top, bottom = bar_share(rx_window)
        x, y, _, _ = rx_window.geometry()
        session.xdotool("mousemove", "--sync", str(x + 20), str(y + (top + bottom) // 2))
        wait_until(lambda: len(session.search("--class", "kelbosrx")) == 2, "a tool tip over the unfocused row")
        session.park_mouse()
        tx_window.key("alt+c", "h")
        wait_until(lambda: rx.events_of("link_end"), "the link to end")
        check(faces_are(session, tx_window, TX_FACES), "the transmitter's one kelbo went away")

        # The bar control's width: a full bar shows it when the rate passed 100 Mbits/s;
        # otherwise it follows from the row's width in dialog units.
        tx_shot = tx_window.shot()
        length = lowest_bar(tx_shot, "the transmitter's bar")[0]
        text = last_rate_text(tx, protocol="TCP")
        widths = bar_width_candidates(rows_width(tx_shot))
        if float(text) >= 100:
            check(length in widths, f"a full bar of {length} pixels in a row {rows_width(tx_shot)} wide")
            widths = {length}
        check_bar(tx_shot, widths, text, "transmitter, back to back")
        check_bar(rx_window.shot(), widths, last_rate_text(rx, conn_id=1), "receiver link row, back to back")
        # Ten times the scale and more: the bar ends in its white arrow head. Enlarged to
        # 1600x1000, the window's rows take its width: the bar ends near its right edge.
        check(float(last_rate_text(rx, conn_id=1)) >= 1000, "the link ran below ten times the scale")
        size = rx_window.geometry()[2:]
        rx_window.move(0, 0)
        session.xdotool("windowraise", rx_window.id)  # over the transmitter's window
        bar_ends = []
        for width, height in ((1600, 1000), size):
            session.xdotool("windowsize", "--sync", rx_window.id, str(width), str(height))
            wait_until(lambda: rx_window.geometry()[2] == width, "the window's new size")
            length, left = lowest_bar(settled(rx_window.shot, "the resized window"), "the link's bar")
            _, _, top, bottom = bar_share(rx_window)
            arrow = rx_window.shot().crop(left, top, length, bottom - top).count((255, 255, 255))
            check(arrow > 4, f"no arrow head on the bar at {width} pixels wide")
            bar_ends.append(left + length)
        check(1600 - bar_ends[0] <= 40, f"the enlarged window's bar ends {1600 - bar_ends[0]} pixels from its edge")
        rx_window.move(RX_LEFT, 0)

        # A paced transmission gives a bar that ends inside the control.
        exit_tx(tx, tx_window)
        paced = session.start(TX, "--transport", "tcp", "--delay", "1", "--msg-size", "2000", scene)
        paced_window = session.window(TX_TITLE)
        text = paced_transmission(paced, paced_window, rx, 1)
        check(float(text) < 100, f"the paced transmission ran at {text} Mbits/s")
        check_bar(paced_window.shot(), widths, text, "transmitter, paced")
        # The paced link's row is the lowest link row, right above TOTAL.
        check_bar(rx_window.shot(), widths, last_rate_text(rx, conn_id=2), "receiver link row, paced", only=False)

        # Thirty links fail while the first failure box is unanswered: one box on the screen, the rest
        # waiting or on standard error, and the receiver's memory flat.
        request = struct.pack("<II40s20sBBBB", 2500000, 1000, b"boxes", b"#00FF00", 2, 1, 5, 0)

        def fail_link():  # set up (not refused, as while ten rows are still shown), then closed
            with socket.create_connection(("127.0.0.1", 54276)) as s:
                s.sendall(request)
                return s.recv(4)[1:2] == b"\x01"

        ends, sizes = len(rx.events_of("link_end")), []
        for n in range(1, 31):
            wait_until(fail_link, f"link {n} to be accepted", limit=40, interval=0.5)
            wait_until(lambda: len(rx.events_of("link_end")) == ends + n, f"link {n} to end")
            with open(f"/proc/{rx.process.pid}/status") as f:
                sizes += [int(line.split()[1]) for line in f if line.startswith("VmRSS:")]
        boxes = [Window(session, i) for i in session.search("--class", "kelbosrx") if i != rx_window.id]
        check(len(boxes) == 1, "not one box beside the main window")
        # Raised while the transmitter's window is the active one, the box is over its own window.
        centres = [(x + w // 2, y + h // 2) for x, y, w, h in (boxes[0].geometry(), rx_window.geometry())]
        check(max(abs(a - b) for a, b in zip(*centres)) <= 50, f"the box's centre {centres[0]}, its window's {centres[1]}")
        check(sizes[-1] - sizes[9] < 2048, f"memory grew from {sizes[9]} to {sizes[-1]} kB")


def bar_share(window):
    """(the lowest bar's length over the bar control's width, the rows' width, the bar's
    row's top and bottom)."""
    shot = window.shot()
    length, left = lowest_bar(shot, f"no whole bar in {LINK}", only=False)
    widths = bar_width_candidates(rows_width(shot))
    inside = [y for y in range(rows_bottom(shot)) if shot.pixel(left + 2, y) == LINK]
    return length / (sum(widths) / len(widths)), rows_width(shot), inside[0] - 1, inside[-1] + 2


def check_share(window, rate, full, what):
    share = bar_share(window)[0]
    check(0.05 <= rate / full <= 0.9, f"{what}: {rate} Mbits/s is not well inside a scale of {full}")
    check(abs(share - rate / full) <= 0.03, f"{what}: a bar at {share:.3f} of the scale for {rate} of {full}")
    print(f"{what}: {rate} Mbits/s on a scale of {full}: bar at {share:.3f}")


def case_scale():
    """The View menu and its bar scales: a paced link's bar at its share of 100 Mbits/s and
    of 1 Gbit/s (from the menu and the command line), the receiver on Automatic moving to
    1 Gbit/s when its link's rate rises past 100."""
    with Session("scale") as session:
        slow = ("--transport", "tcp", "--delay", "1", "--msg-size", "6000")
        tx, tx_window, rx, rx_window = start_pair(session, tx_args=slow)
        for program, window in (("kelbostx", tx_window), ("kelbosrx", rx_window)):
            check_menu(session, program, window, "alt+v", ["on", "on"], "(View)")
        rx_window.key("alt+v", "b", "a")

        rate = float(paced_transmission(tx, tx_window, rx, 1))
        check_share(tx_window, rate, 100, "transmitter on 100 Mbits/s")
        _, width, top, bottom = bar_share(tx_window)

        def labels(window):
            """The header's scale labels: the header row right above the value row, from
            the bar's left end across."""
            left = width * 160 // 385
            return window.shot().crop(left, 2 * top - bottom, width - left, bottom - top)

        labels_100 = labels(tx_window)
        check(labels(rx_window) == labels_100, "the receiver on Automatic left 100 Mbits/s for a slow link")
        # 1 Gbit/s chosen from the menu: the header's labels change.
        tx_window.key("alt+v", "b", "1")
        labels_1g = wait_until(lambda: (lambda strip: strip if strip != labels_100 else None)(labels(tx_window)),
                               "the header's labels to change")

        # A faster link, its transmitter started on 1 Gbit/s: the receiver follows it.
        exit_tx(tx, tx_window)
        fast = session.start(TX, "--bar-scale", "1G", "--transport", "tcp", "--delay", "1", "--msg-size", "60000",
                             SCENE)
        fast_window = session.window(TX_TITLE)
        rate = float(paced_transmission(fast, fast_window, rx, 100))
        check_share(fast_window, rate, 1000, "transmitter on 1 Gbit/s")
        check(labels(fast_window) == labels_1g, "--bar-scale 1G labels")
        check(labels(rx_window) == labels_1g, "the receiver on Automatic did not move to 1 Gbit/s")
        check_share(rx_window, float(last_rate_text(rx, conn_id=2)), 1000, "receiver link row on Automatic")


def case_history():
    """View > Rate History...: a line in the link's colour, a name for each of two links of one
    host on one ConnId; Save As writes the plot as a PNG and its points as CSV. The receiver
    starts with Qt's -geometry."""
    with Session("history") as session:
        # Qt's own options come before the program's.
        rx = session.start(RX, "-geometry", "800x300+10+10", SCENE)
        rx_window = session.window(RX_TITLE)
        wait_until(lambda: rx_window.geometry() == (10, 10, 800, 300), "the receiver at 800x300+10+10")
        tx = session.start(TX, "--delay", "1", "--msg-size", "6000", SCENE)
        tx_window = session.window(TX_TITLE)
        rx_window.move(RX_LEFT, 0)
        # Two links from one host, one after the other on ConnId 1.
        for link in range(2):
            before = len(rx.ticks(conn_id=1))
            tx_window.key("alt+c", "g")
            wait_until(lambda: len([t for t in rx.ticks(conn_id=1)[before:] if t["mbits_per_s"] > 1]) >= 3,
                       "three ticks of the link")
            if link == 0:
                tx_window.key("alt+c", "h")
                wait_until(lambda: rx.events_of("row_removed"), "the first link's row to go", limit=40)
        rx_window.key("alt+v", "h")
        history = session.window(RX_TITLE + " - Rate History")
        history.move(0, 560)
        # Below the legend (and the window's menu bar), where the lines are.
        wait_until(lambda: history.shot().below(60).count(LINK) > 50, "a line in the link's colour")

        png, csv = os.path.join(session.tmp, "plot.png"), os.path.join(session.tmp, "points.csv")
        for path in (png, csv):
            history.key("alt+f", "a")
            dialog = session.window("Save rate history")
            dialog.type(path)
            dialog.key("Return")
            session.wait_gone("Save rate history")
            wait_until(lambda: os.path.exists(path), f"{path} to be written")
        plot = magick("convert", png)
        # The image is the plot: the window's picture below its menu bar, the legend's
        # strip along the top exactly as on the screen, and the link's line in it. The
        # screen may still be repainting where the dialog was, so the strip is awaited.
        def legend_shown():
            shot = history.shot()
            top = shot.height - plot.height
            same = top > 0 and plot.crop(0, 0, plot.width, 12) == shot.crop(0, top, plot.width, 12)
            return (shot,) if same else None
        (shot,) = wait_until(legend_shown, "the legend of the PNG on the screen: the PNG is not the plot", limit=5)
        check(plot.width == shot.width, f"a plot of {plot.width}x{plot.height}")
        check(plot.below(30).count(LINK) > 50, "the PNG lacks the link's line")
        with open(csv) as f:
            lines = f.read().splitlines()
        check(lines[0] == "time,row,mbits_per_s", f"CSV header {lines[0]!r}")
        rows = {line.split(",")[1] for line in lines[1:]}
        check(len(rows) == 3 and rows - {"TOTAL"} == {r for r in rows if r.startswith("localhost #1 ")},
              f"CSV rows {rows}: not two names for two links")


CASES = {"menus_settings": case_menus_settings, "pixels": case_pixels, "scale": case_scale, "history": case_history}

if __name__ == "__main__":
    sys.exit(run(CASES, sys.argv))
