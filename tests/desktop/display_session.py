# SPDX-License-Identifier: Apache-2.0
"""The real programs on a private X display (Xvfb, in a network namespace of its own),
started with --json and driven with xdotool: keys, clicks, screenshots. Every wait polls
its condition until a deadline. KELBOS_SHOTS_DIR: a folder for the last screen of each
passed test (a failed test keeps its own, and says where).
"""

import ctypes
import fcntl
import json
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77  # the exit status ctest reads as "skipped"

WAIT = 20.0  # seconds any one condition may take before the test fails


class Skip(Exception):
    """The test cannot run on this machine."""


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(condition, what, limit=WAIT, interval=0.05):
    """Polls `condition` until it gives a true value, which is returned."""
    deadline = time.monotonic() + limit
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {limit:.0f} s waiting for {what}")
        time.sleep(interval)


def enter_private_network():
    """unshare(CLONE_NEWNET) and bring the new loopback interface up."""
    CLONE_NEWNET = 0x40000000
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        raise Skip(f"cannot enter a private network namespace: {os.strerror(ctypes.get_errno())}")
    SIOCGIFFLAGS, SIOCSIFFLAGS = 0x8913, 0x8914
    IFF_UP, IFF_RUNNING = 0x1, 0x40
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack("16sH14x", b"lo", 0)))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP | IFF_RUNNING))


class Image:
    """A screenshot: width, height and packed RGB bytes."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def crop(self, x, y, width, height):
        starts = ((row * self.width + x) * 3 for row in range(y, y + height))
        return Image(width, height, b"".join(self.data[start:start + width * 3] for start in starts))

    def below(self, top):
        return self.crop(0, top, self.width, self.height - top)

    def count(self, colour):
        return sum(1 for i in range(0, len(self.data), 3) if tuple(self.data[i:i + 3]) == colour)

    def __eq__(self, other):
        return (self.width, self.height, self.data) == (other.width, other.height, other.data)

    def save_ppm(self, path):
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (self.width, self.height) + self.data)


def parse_ppm(blob):
    """The binary PPM that ImageMagick writes (P6, maxval 255)."""
    fields, pos = [], 0
    for _ in range(4):  # whitespace and comments, then a field
        field = re.compile(rb"(?:\s|#[^\n]*\n)*(\S+)").match(blob, pos)
        fields.append(field.group(1))
        pos = field.end()
    check(fields[0] == b"P6" and fields[3] == b"255", f"unexpected screenshot format {fields!r}")
    width, height = int(fields[1]), int(fields[2])
    data = blob[pos + 1:pos + 1 + width * height * 3]
    check(len(data) == width * height * 3, "short screenshot")
    return Image(width, height, data)


def magick(*command, env=None):
    """The image an ImageMagick command writes (a screenshot, an image file converted)."""
    return parse_ppm(subprocess.run([*command, "-depth", "8", "ppm:-"], env=env, capture_output=True, timeout=WAIT,
                                    check=True).stdout)


class Program:
    """A program started on the display, its standard output read into JSON events."""

    def __init__(self, session, path, args, cwd):
        self.name = os.path.basename(path)
        self.events = []
        self._lock = threading.Lock()
        self.stderr_path = os.path.join(session.tmp, f"{self.name}-{len(session.programs)}.err")
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen([path, "--json", *args], cwd=cwd, env=session.env,
                                        stdout=subprocess.PIPE, stderr=self._stderr)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.process.stdout:
            if raw.startswith(b"{"):  # not one of the routines' notes
                try:
                    event = json.loads(raw.decode(errors="replace"))
                except ValueError:
                    continue
                with self._lock:
                    self.events.append(event)

    def ticks(self, **match):
        return self.events_of("tick", **match)

    def events_of(self, kind, **match):
        """The events of `kind` so far whose fields equal `match`."""
        with self._lock:
            return [e for e in self.events if e.get("event") == kind and all(e.get(k) == v for k, v in match.items())]

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._reader.join(timeout=WAIT)
        self._stderr.close()


class Window:
    def __init__(self, session, wid):
        self.session, self.id = session, wid

    def geometry(self):
        """(x, y, width, height) of the window's client area on the screen."""
        out = self.session.xdotool("getwindowgeometry", "--shell", self.id)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def move(self, x, y):
        self.session.xdotool("windowmove", "--sync", self.id, str(x), str(y))

    def key(self, *keys):
        """Presses keys in the window, which is given the keyboard focus first."""
        self.session.xdotool("windowfocus", "--sync", self.id, "key", "--clearmodifiers", "--delay", "30", *keys)

    def type(self, text):
        self.session.xdotool("windowfocus", "--sync", self.id, "type", "--delay", "30", text)

    def click(self, fx, fy):
        """Clicks at a point given as fractions of the client area's width and height."""
        x, y, w, h = self.geometry()
        self.session.click(x + int(w * fx), y + int(h * fy))

    def shot(self):
        """This window's client area, cut from a screenshot of the whole screen."""
        x, y, w, h = self.geometry()
        return self.session.screenshot().crop(x, y, w, h)


class Session:
    """A private network namespace and X display, and the programs started on it."""

    SCREEN = (1600, 1000)

    def __init__(self, name):
        self.name, self.programs, self.xvfb, self.env = name, [], None, dict(os.environ)
        self.tmp = tempfile.mkdtemp(prefix=f"kelbos-{name}-")

    def __enter__(self):
        for tool in ("Xvfb", "xdotool", "import", "xprop"):
            if not shutil.which(tool):
                raise Skip(f"{tool} is not installed (scripts/deps.sh test installs it)")
        enter_private_network()
        self._start_display()
        return self

    def __exit__(self, kind, value, trace):
        keep = os.environ.get("KELBOS_SHOTS_DIR")
        if keep and kind is None:
            self.screenshot().save_ppm(os.path.join(keep, f"{self.name}.ppm"))
        if kind is not None and not issubclass(kind, Skip) and self.xvfb is not None:
            try:
                path = os.path.join(self.tmp, "failure.ppm")
                self.screenshot().save_ppm(path)
                print(f"screen at the failure: {path}", file=sys.stderr)
            except Exception as e:  # the display may be the thing that failed
                print(f"no screenshot at the failure: {e}", file=sys.stderr)
        for p in reversed(self.programs):
            p.stop()
            if kind is not None and p.stderr():
                print(f"--- standard error of {p.name}:\n{p.stderr()}", file=sys.stderr)
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=WAIT)
        if kind is None:
            shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def _start_display(self):
        read_fd, write_fd = os.pipe()
        try:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "%dx%dx24" % self.SCREEN, "-nolisten", "tcp",
                 "-noreset"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        except OSError as e:
            raise Skip(f"Xvfb cannot be started: {e}")
        os.close(write_fd)
        # Xvfb writes the display's number and a newline once it is ready.
        with os.fdopen(read_fd, "rb") as pipe:
            number = pipe.readline() if select.select([pipe], [], [], WAIT)[0] else b""
        if not number.endswith(b"\n"):
            self.xvfb.kill()
            self.xvfb.wait(timeout=WAIT)
            said = select.select([self.xvfb.stderr], [], [], 0)[0]  # what it wrote, if it is not held open
            err = os.read(self.xvfb.stderr.fileno(), 4096).decode(errors="replace") if said else ""
            self.xvfb = None
            raise Skip(f"Xvfb did not start a display: {err.strip() or 'no display number'}")
        runtime = os.path.join(self.tmp, "runtime")
        os.mkdir(runtime, 0o700)
        self.env.update({"DISPLAY": f":{int(number)}", "QT_QPA_PLATFORM": "xcb", "XDG_RUNTIME_DIR": runtime})
        for key in ("WAYLAND_DISPLAY", "QT_STYLE_OVERRIDE", "XDG_CURRENT_DESKTOP"):
            self.env.pop(key, None)
        # X client libraries' allocations that live until exit are not the programs' leaks.
        if "ASAN_OPTIONS" in self.env:
            self.env["ASAN_OPTIONS"] += ":detect_leaks=0"

    def start(self, path, *args, cwd=None):
        program = Program(self, path, list(args), cwd or self.tmp)
        self.programs.append(program)
        return program

    def xdotool(self, *args, must=True):
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=WAIT)
        check(result.returncode == 0 or not must, f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout

    def search(self, *how):
        """Ids of the visible windows xdotool finds (none: no failure)."""
        return self.xdotool("search", "--onlyvisible", *how, must=False).split()

    def find_windows(self, title):
        """Visible windows whose title is exactly `title`."""
        return [Window(self, wid) for wid in self.search("--name", f"^{title}$")]

    def window(self, title, count=1):
        """Waits for exactly `count` windows with the title; returns them (one: itself)."""
        found = wait_until(lambda: (lambda w: w if len(w) == count else None)(self.find_windows(title)),
                           f"{count} window(s) titled {title!r}")
        return found[0] if count == 1 else found

    def wait_gone(self, title):
        wait_until(lambda: not self.find_windows(title), f"the window {title!r} to close")

    def click(self, x, y):
        self.xdotool("mousemove", "--sync", str(x), str(y), "click", "1")

    def park_mouse(self):
        """Moves the pointer to the screen's far corner, where it hovers over nothing."""
        self.xdotool("mousemove", "--sync", str(self.SCREEN[0] - 1), str(self.SCREEN[1] - 1))

    def screenshot(self):
        return magick("import", "-silent", "-window", "root", env=self.env)


def run(cases, argv):
    """Runs the case named by argv[1] (all of them without one); ctest reads the status."""
    names = argv[1:] or list(cases)
    try:
        for name in names:
            print(f"== {name}")
            cases[name]()
            print(f"-- {name}: passed")
    except Skip as e:
        print(f"SKIPPED: {e}")
        return SKIP
    except Failure as e:
        print(f"FAILED: {e}")
        return 1
    return 0
