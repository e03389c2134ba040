# SPDX-License-Identifier: Apache-2.0
"""What `cmake --install` lays out, checked in a scratch prefix (no root needed).

Usage: install_layout_test.py BUILD_DIR [CMAKE]
Checks the exact list of files, the desktop entries (and desktop-file-validate's verdict),
the manual pages, each program started as its entry says from an unrelated folder, and the
receiver's service unit (its command, systemd-analyze verify and security 2.0 or lower).
"""

import configparser
import filecmp
import os
import re
import shutil
import subprocess
import sys
import tempfile

from display_session import Skip, enter_private_network

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))

# Nothing else: no tests, no libraries.
EXPECTED_FILES = set("""
    bin/kelbostx bin/kelbosrx share/kelbos/kelbostx.init
    share/icons/hicolor/scalable/apps/kelbos.svg share/icons/hicolor/64x64/apps/kelbos.png
    share/applications/kelbostx.desktop share/applications/kelbosrx.desktop
    share/man/man1/kelbostx.1.gz share/man/man1/kelbosrx.1.gz
    share/doc/kelbos/copyright share/doc/kelbos/changelog.gz share/doc/kelbos/monitoring.md
    share/doc/kelbos/README.md share/doc/kelbos/fleet-rates.svg
    lib/systemd/system/kelbosrx.service lib/sysctl.d/50-kelbos.conf
    share/kelbos/prometheus/kelbos.rules.yml share/kelbos/prometheus/kelbos.rules.test.yml
    share/kelbos/grafana/kelbos-receivers.json""".split())

ENTRIES = {"kelbostx": "Kelbos Transmitter", "kelbosrx": "Kelbos Receiver"}
SCENE = "share/kelbos/kelbostx.init"
OFFSCREEN = dict(os.environ, QT_QPA_PLATFORM="offscreen")

failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run(*words, **how):
    """A command's completed process, its output as text."""
    return subprocess.run(words, capture_output=True, text=True, **how)


def check_entry(prefix, program, name, validator):
    path = os.path.join(prefix, "share/applications", f"{program}.desktop")
    if validator:
        result = run(validator, path)
        expect(result.returncode == 0 and not result.stdout.strip(),
               f"desktop-file-validate {program}.desktop: {result.stdout}{result.stderr}")
    parser = configparser.ConfigParser(interpolation=None, delimiters=("=",))
    parser.optionxform = str  # keys are case-sensitive
    parser.read(path, encoding="utf-8")
    entry = parser["Desktop Entry"]
    for key, value in (("Type", "Application"), ("Name", name), ("Icon", "kelbos")):
        expect(entry.get(key) == value, f"{program}.desktop: {key} is {entry.get(key)!r}, not {value!r}")
    scene = os.path.join(prefix, SCENE)
    words = entry.get("Exec", "").split()
    expect(words == [program, scene],
           f"{program}.desktop: Exec is {entry.get('Exec')!r}, expected '{program} {scene}'")
    return words


def run_as_entry(prefix, words, workdir):
    """The installed program started headless with the entry's words from `workdir`."""
    return run(os.path.join(prefix, "bin", words[0]), "--headless", "--time", "0.3", *words[1:], cwd=workdir,
               env=OFFSCREEN, timeout=60)


def check_service(prefix, workdir):
    """The unit's command line, run for a moment, and systemd's checks where installed."""
    unit = os.path.join(prefix, "lib/systemd/system/kelbosrx.service")
    with open(unit, encoding="utf-8") as f:
        starts = [line.strip().split("=", 1)[1] for line in f if line.startswith("ExecStart=")]
    words = [os.path.join(prefix, "bin/kelbosrx"), "--headless", "--metrics", "9464", "--idle-timeout", "300",
             os.path.join(prefix, SCENE)]
    if not expect(starts == [" ".join(words)], f"kelbosrx.service: ExecStart {starts}"):
        return
    result = run(*words, "--time", "0.5", cwd=workdir, timeout=60, env=OFFSCREEN)
    expect(result.returncode == 0 and not result.stderr, f"the unit's command: {result.returncode} {result.stderr}")

    analyze = shutil.which("systemd-analyze")
    if not analyze:
        print("note: systemd-analyze is not installed (package systemd); the unit was not checked")
        return
    # The unit's manual page is the one installed here.
    result = run(analyze, "verify", unit, timeout=60, env=dict(os.environ, MANPATH=os.path.join(prefix, "share/man")))
    expect(result.returncode == 0 and not result.stdout + result.stderr,
           f"systemd-analyze verify: {result.returncode} {result.stdout}{result.stderr}")
    result = run(analyze, "security", "--offline=true", "--no-pager", unit, timeout=60)
    level = re.search(r"Overall exposure level for kelbosrx.service: ([0-9.]+)", result.stdout)
    expect(level and float(level.group(1)) <= 2.0,
           f"systemd-analyze security: {level.group(1) if level else result.stdout + result.stderr}")


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    build = sys.argv[1]
    cmake = sys.argv[2] if len(sys.argv) == 3 else "cmake"
    # The receiver binds its fixed ports while it runs: keep it off this machine's own.
    try:
        enter_private_network()
    except Skip as e:
        print(f"note: {e}; the programs run in this machine's network")
    with tempfile.TemporaryDirectory(prefix="kelbos-install-") as scratch:
        prefix = os.path.join(scratch, "prefix")
        result = run(cmake, "--install", build, "--prefix", prefix)
        if not expect(result.returncode == 0, f"cmake --install failed:\n{result.stdout}{result.stderr}"):
            return report()

        files = {os.path.relpath(os.path.join(folder, name), prefix) for folder, _, names in os.walk(prefix)
                 for name in names}
        expect(files == EXPECTED_FILES,
               f"installed files differ: extra {sorted(files - EXPECTED_FILES)}, "
               f"missing {sorted(EXPECTED_FILES - files)}")
        expect(filecmp.cmp(os.path.join(prefix, SCENE), os.path.join(SOURCE, "scenes/kelbostx.init"), shallow=False),
               "the installed scene is not the bundled default scene")

        elsewhere = os.path.join(scratch, "elsewhere")
        os.mkdir(elsewhere)
        validator = shutil.which("desktop-file-validate")
        if not validator:
            print("note: desktop-file-validate is not installed (package desktop-file-utils); "
                  "the entries were not validated")
        plain = dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="200", LC_ALL="C")
        for program, name in ENTRIES.items():
            expect(os.access(os.path.join(prefix, "bin", program), os.X_OK), f"bin/{program} is not executable")
            # `man NAME` finds the page where it is installed, and it names every option the
            # program's --help lists.
            page = run("man", "-M", os.path.join(prefix, "share/man"), program, env=plain)
            helped = run(os.path.join(prefix, "bin", program), "--help")
            options = {w.rstrip(",") for w in helped.stdout.split() if w.startswith("--")}
            expect(page.returncode == 0 and options and all(o in page.stdout for o in options),
                   f"man {program}: status {page.returncode}, options missing: "
                   f"{sorted(o for o in options if o not in page.stdout)} {page.stderr}")

            words = check_entry(prefix, program, name, validator)
            if len(words) != 2 or not os.path.exists(os.path.join(prefix, "bin", program)):
                continue
            # (A receiver may also report its ports taken by another here: only the scene matters.)
            result = run_as_entry(prefix, words, elsewhere)
            expect(result.returncode == 0,
                   f"{program} started as its entry says exited with {result.returncode}: {result.stderr}")
            expect("init file" not in result.stderr, f"{program} did not read the installed scene: {result.stderr}")

        check_service(prefix, elsewhere)

        # Without the scene, the same start reports it: the checks above can fail.
        os.rename(os.path.join(prefix, SCENE), os.path.join(scratch, "moved.init"))
        err = run_as_entry(prefix, ["kelbostx", os.path.join(prefix, SCENE)], elsewhere).stderr
        expect("Unable to open init file" in err, f"a missing scene went unreported: {err!r}")

        return report()


def report():
    print("\n".join(f"FAILED: {f}" for f in failures) or "install layout: passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
