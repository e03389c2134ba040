#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Kelbos soak: ten TCP links into one receiver at full speed for a long time.

Runs inside a private network namespace (bench/soak.sh starts it with `unshare -n`).
Every few seconds it samples the resident memory and the open descriptors of the
receiver and of every transmitter from /proc. At the end it checks:

- counts: every link ended normally, and for every link the receiver counted exactly
  what the transmitter sent, to the byte: the data in front of a ShutdownRequest is
  counted too, only the request's own 3 bytes are not. ConnId 2 included: a chunk of
  its data that ends one byte into a message ends in 00 02 00, which names no link of
  its own and is counted as data.
- the receiver's exit line: no foreign datagrams (the soak sends none).
- memory: flat, meaning that after the warm-up (the first fifth of the run, at most
  60 s) the average of the last quarter of the samples is within 10% or 4 MB,
  whichever is larger, of the average of the first quarter.
- descriptors: no growth, meaning that no sample of the last quarter holds more than
  the most of the first quarter, and that the receiver holds as many once every link
  has ended as it did before the first began.

It prints a table and exits 1 when a check fails.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from kelbos_bench import STREAM_PORT, json_lines, lo_up, wait_port

FLAT_SHARE = 0.10
FLAT_KB = 4096


def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except FileNotFoundError:
        pass
    return None


def fd_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except FileNotFoundError:
        return None


def events_of(path):
    with open(path) as f:
        return json_lines(f.read())


def read_text(path):
    with open(path) as f:
        return f.read()


class Program:
    """One running program with its output in files (a long run would fill a pipe)."""

    def __init__(self, name, args, workdir, outdir):
        self.name = name
        self.out_path = os.path.join(outdir, name + ".out")
        self.err_path = os.path.join(outdir, name + ".err")
        with open(self.out_path, "w") as out, open(self.err_path, "w") as err:
            self.proc = subprocess.Popen(args, cwd=workdir, stdout=out, stderr=err)
        self.samples = []  # (seconds, rss_kb, fds)

    def sample(self, t):
        rss, fds = rss_kb(self.proc.pid), fd_count(self.proc.pid)
        if rss is not None and fds is not None:
            self.samples.append((t, rss, fds))

    def events(self):
        return events_of(self.out_path)

    def err(self):
        return read_text(self.err_path)


def mean(values):
    return sum(values) / len(values) if values else float("nan")


def quarters(samples, warmup):
    steady = [s for s in samples if s[0] >= warmup]
    n = max(1, len(steady) // 4)
    return steady[:n], steady[-n:]


def slope_kb_per_min(samples):
    """Least-squares slope of resident memory over time."""
    if len(samples) < 2:
        return 0.0
    ts = [s[0] for s in samples]
    rs = [s[1] for s in samples]
    mt, mr = mean(ts), mean(rs)
    den = sum((t - mt) ** 2 for t in ts)
    return 60 * sum((t - mt) * (r - mr) for t, r in zip(ts, rs)) / den if den else 0.0


def resources(program, warmup):
    """Memory and descriptor figures of one program, and what is wrong with them."""
    first, last = quarters(program.samples, warmup)
    problems = []
    if not first:
        return {"rss_first": float("nan"), "rss_last": float("nan"), "slope": 0.0, "fds_first": -1,
                "fds_last": -1}, ["no samples after the warm-up"]
    rss_first = mean([s[1] for s in first])
    rss_last = mean([s[1] for s in last])
    fds_first = max(s[2] for s in first)
    fds_last = max(s[2] for s in last)
    if rss_last - rss_first > max(FLAT_SHARE * rss_first, FLAT_KB):
        problems.append(f"resident memory grew from {rss_first / 1024:.1f} to {rss_last / 1024:.1f} MB")
    if fds_last > fds_first:
        problems.append(f"descriptors grew from {fds_first} to {fds_last}")
    figures = {"rss_first": rss_first, "rss_last": rss_last,
               "slope": slope_kb_per_min([s for s in program.samples if s[0] >= warmup]),
               "fds_first": fds_first, "fds_last": fds_last}
    return figures, problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--scenes", required=True)
    ap.add_argument("--seconds", type=int, default=600, help="length of the transmissions (default 600)")
    ap.add_argument("--links", type=int, default=10)
    ap.add_argument("--interval", type=float, default=5.0, help="seconds between samples (default 5)")
    ap.add_argument("--msg-size", type=int, default=150000)
    ap.add_argument("--sock-buf", type=int, default=0)
    ap.add_argument("--keep", action="store_true", help="keep the programs' output files")
    args = ap.parse_args()
    lo_up()
    outdir = tempfile.mkdtemp(prefix="kelbos-soak-")
    tx_path = os.path.join(args.build, "transmitter", "kelbostx")
    rx_path = os.path.join(args.build, "receiver", "kelbosrx")
    warmup = min(60.0, args.seconds / 5)
    failures = []

    rx = Program("kelbosrx", [rx_path, "--headless", "--json", "--time", str(args.seconds + 120)], args.scenes,
                 outdir)
    if not wait_port(STREAM_PORT):
        rx.proc.kill()
        sys.exit("kelbosrx did not start listening: " + rx.err())
    time.sleep(0.5)  # let the receiver finish starting before its descriptors are counted
    fds_before = fd_count(rx.proc.pid)

    print(f"{args.links} TCP links for {args.seconds} s, sampling every {args.interval:g} s; output in {outdir}",
          file=sys.stderr, flush=True)
    start = time.monotonic()
    txs = []
    for i in range(args.links):
        txs.append(Program(f"kelbostx-{i + 1}", [
            tx_path, "--headless", "--json", "--go", "--time", str(args.seconds), "--receiver", "127.0.0.1",
            "--transport", "tcp", "--msg-size", str(args.msg_size), "--sock-buf", str(args.sock_buf),
            "--delay", "0"], args.scenes, outdir))

    # Sample while every link runs; the first transmitter to end ends the sampling.
    next_sample = start
    last_report = start
    while all(t.proc.poll() is None for t in txs) and rx.proc.poll() is None:
        now = time.monotonic()
        if now >= next_sample:
            for p in (rx, *txs):
                p.sample(now - start)
            next_sample += args.interval
        if now - last_report >= 60:
            last_report = now
            print(f"  {now - start:.0f} s", file=sys.stderr, flush=True)
        time.sleep(min(0.2, max(0.0, next_sample - time.monotonic())))
    for t in txs:
        try:
            t.proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            t.proc.kill()
            failures.append(f"{t.name} did not end")

    # Every link's end reaches the receiver's lines; then its descriptors are counted
    # again, and it is ended as Exit does.
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and rx.proc.poll() is None:
        if len([e for e in rx.events() if e.get("event") == "link_end"]) >= args.links:
            break
        time.sleep(0.2)
    fds_after = fd_count(rx.proc.pid)
    if rx.proc.poll() is None:
        rx.proc.send_signal(signal.SIGTERM)
    try:
        rx.proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        rx.proc.kill()
        failures.append("kelbosrx did not end on SIGTERM")

    rx_events = rx.events()
    link_ends = {e["conn_id"]: e for e in rx_events if e.get("event") == "link_end"}
    if rx.proc.returncode != 0:
        failures.append(f"kelbosrx exit status {rx.proc.returncode}")
    if rx.err():
        failures.append("kelbosrx wrote to standard error: " + rx.err().strip()[-300:])
    if fds_before is None or fds_after is None or fds_after > fds_before:
        failures.append(f"kelbosrx held {fds_before} descriptors before the links and {fds_after} after")

    rows = []
    for t in txs:
        events = t.events()
        ticks = [e for e in events if e.get("event") == "tick"]
        end = next((e for e in events if e.get("event") == "end"), None)
        conn_ids = {e["conn_id"] for e in ticks}
        conn_id = conn_ids.pop() if len(conn_ids) == 1 else None
        sent = end["bytes"] if end else None
        link_end = link_ends.get(conn_id)
        received = link_end["bytes"] if link_end else None
        problems = []
        if t.proc.returncode != 0:
            problems.append(f"exit status {t.proc.returncode}")
        if t.err():
            problems.append("standard error: " + t.err().strip()[-200:])
        if conn_id is None:
            problems.append("no single ConnId in its ticks")
        if end is None or end.get("how") != "halted":
            problems.append("did not end halted")
        if link_end is None:
            problems.append("no link_end on the receiver")
        elif link_end["reason"] != 1:
            problems.append(f"the receiver ended the link with reason {link_end['reason']}")
        counts = "-"
        if sent is not None and received is not None:
            if received != sent:
                problems.append(f"sent {sent}, received {received}: {sent - received} bytes apart")
                counts = "DRIFT"
            else:
                counts = "ok"
        figures, resource_problems = resources(t, warmup)
        problems += resource_problems
        rows.append((t.name, conn_id, sent, received, counts, figures, problems))
    rx_figures, rx_problems = resources(rx, warmup)
    failures += ["kelbosrx: " + p for p in rx_problems]

    seconds = mean([e["seconds"] for t in txs for e in t.events() if e.get("event") == "end"])
    total = sum(e["bytes"] for e in link_ends.values())
    rx_exit = next((e for e in rx_events if e.get("event") == "exit"), {})
    if rx_exit.get("foreign_datagrams", 0) != 0:
        failures.append(f"kelbosrx: {rx_exit['foreign_datagrams']} foreign datagrams")

    def gb(v):
        return "-" if v is None else f"{v / 1e9:.3f}"

    def res(f):
        return (f"{f['rss_first'] / 1024:.1f} | {f['rss_last'] / 1024:.1f} | {f['slope']:+.0f} | "
                f"{f['fds_first']} | {f['fds_last']}")

    print()
    print(f"{args.links} TCP links, {args.msg_size}-byte messages, {seconds:.0f} s each; "
          f"{len(rx.samples)} samples every {args.interval:g} s, warm-up {warmup:.0f} s. "
          f"Receiver total {total * 8 / (seconds * 1e6) if seconds > 0 else 0:.0f} Mbit/s, "
          f"peak resident memory {rx_exit.get('peak_rss_kb', 0) / 1024:.1f} MB, "
          f"largest event-loop gap {rx_exit.get('max_loop_gap_ms', -1)} ms; "
          f"descriptors {fds_before} before the links, {fds_after} after.")
    print()
    print("| process | ConnId | sent GB | received GB | sent - received | counts | RSS first q. MB | "
          "RSS last q. MB | RSS slope kB/min | fds first q. | fds last q. | verdict |")
    print("|---|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---|")
    print(f"| kelbosrx | - | - | {gb(total)} | - | - | {res(rx_figures)} | "
          f"{'; '.join(rx_problems) if rx_problems else 'ok'} |")
    for name, conn_id, sent, received, counts, figures, problems in sorted(rows, key=lambda r: r[1] or 99):
        gap = "-" if sent is None or received is None else str(sent - received)
        print(f"| {name} | {conn_id if conn_id is not None else '-'} | {gb(sent)} | {gb(received)} | {gap} | {counts} | "
              f"{res(figures)} | {'; '.join(problems) if problems else 'ok'} |")
        failures += [f"{name}: {p}" for p in problems]

    print()
    if failures:
        print("FAILED:")
        for f in failures:
            print("  " + f)
        print(f"Output kept in {outdir}")
        sys.exit(1)
    print("All checks passed.")
    if args.keep:
        print(f"Output kept in {outdir}")
    else:
        shutil.rmtree(outdir, ignore_errors=True)


if __name__ == "__main__":
    main()
