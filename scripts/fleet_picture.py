#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Draws docs/fleet-rates.svg: three receivers on three hosts (network namespaces
joined to this one by veth pairs), transmitters coming and going, one Prometheus
server scraping them with the shipped rules; the picture is what it answers for the
dashboard's per-receiver and fleet rates over the run.

Usage (as root): python3 scripts/fleet_picture.py BUILD_DIR [OUTPUT.svg]
"""

import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NETWORKS = ("192.0.2.", "198.51.100.", "203.0.113.")
SECONDS = 70
# (receiver, start s, seconds, transmitter options): paced links of different rates.
LINKS = [
    (0, 2, 60, ["--transport", "tcp", "--msg-size", "150000", "--delay", "2"]),
    (1, 10, 40, ["--transport", "udp", "--msg-size", "32700", "--delay", "1"]),
    (2, 20, 40, ["--transport", "tcp", "--msg-size", "65535", "--delay", "1"]),
    (2, 30, 15, ["--transport", "tcp", "--msg-size", "65535", "--delay", "1"]),
    (0, 45, 15, ["--transport", "udp", "--msg-size", "32700", "--delay", "1"]),
]
COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c")


def run(*command):
    subprocess.run(command, check=True)


def query_range(expression, start, end):
    params = urllib.parse.urlencode({"query": expression, "start": start, "end": end, "step": 1})
    with urllib.request.urlopen(f"http://127.0.0.1:9090/api/v1/query_range?{params}", timeout=10) as reply:
        return json.load(reply)["data"]["result"]


def svg(series, fleet, start, path):
    """A line per receiver and the fleet's total, in Mbit/s over the run's seconds."""
    width, height, left, bottom, top, right = 820, 420, 70, 50, 40, 190
    peak = max([float(v) for _, v in fleet["values"]] + [1.0])
    scale = 10 ** len(str(int(peak))) / 10
    y_max = next(m * scale for m in (1, 2, 2.5, 5, 10) if m * scale >= peak * 1.05)
    x = lambda t: left + (t - start) / SECONDS * (width - left - right)
    y = lambda v: height - bottom - v / y_max * (height - bottom - top)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" font-family="DejaVu Sans" '
           f'font-size="12">', f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{left}" y="22" font-size="15">Received rate, Mbit/s: three receivers and the fleet</text>']
    for i in range(6):
        v = y_max * i / 5
        out.append(f'<line x1="{left}" x2="{width - right}" y1="{y(v):.1f}" y2="{y(v):.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{left - 6}" y="{y(v) + 4:.1f}" text-anchor="end">{v:g}</text>')
    for t in range(0, SECONDS + 1, 10):
        out.append(f'<text x="{x(start + t):.1f}" y="{height - bottom + 18}" text-anchor="middle">{t} s</text>')
    out.append(f'<line x1="{left}" x2="{width - right}" y1="{height - bottom}" y2="{height - bottom}" stroke="black"/>')
    lines = [(s["metric"].get("instance", "?"), COLOURS[i % 3], "1.5", s) for i, s in enumerate(series)]
    lines.append(("fleet (sum)", "black", "2.5", fleet))
    for n, (name, colour, stroke, s) in enumerate(lines):
        points = " ".join(f"{x(float(t)):.1f},{y(float(v)):.1f}" for t, v in s["values"])
        out.append(f'<polyline fill="none" stroke="{colour}" stroke-width="{stroke}" points="{points}"/>')
        ly = top + 20 + 22 * n
        out.append(f'<line x1="{width - right + 15}" x2="{width - right + 40}" y1="{ly}" y2="{ly}" '
                   f'stroke="{colour}" stroke-width="{stroke}"/>')
        out.append(f'<text x="{width - right + 46}" y="{ly + 4}">{name}</text>')
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    build = os.path.abspath(sys.argv[1])
    output = sys.argv[2] if len(sys.argv) == 3 else os.path.join(ROOT, "docs", "fleet-rates.svg")
    if os.environ.get("KELBOS_FLEET_NETNS") != "1":
        # This script's own network namespace is the Prometheus server's host.
        return subprocess.call(["unshare", "--net", sys.executable, *sys.argv],
                               env=dict(os.environ, KELBOS_FLEET_NETNS="1"))
    run("ip", "link", "set", "lo", "up")
    procs, holders = [], []
    scratch = tempfile.mkdtemp(prefix="kelbos-fleet-")
    try:
        for i, net in enumerate(NETWORKS):
            holder = subprocess.Popen(["unshare", "--net", "sleep", str(SECONDS + 60)])
            holders.append(holder)
            own = os.readlink("/proc/self/ns/net")
            while os.readlink(f"/proc/{holder.pid}/ns/net") == own:
                time.sleep(0.01)
            ns = f"--net=/proc/{holder.pid}/ns/net"
            run("ip", "link", "add", f"fleet-a{i}", "type", "veth", "peer", "name", f"fleet-b{i}", "netns", str(holder.pid))
            run("ip", "address", "add", net + "1/24", "dev", f"fleet-a{i}")
            run("ip", "link", "set", f"fleet-a{i}", "up")
            run("nsenter", ns, "ip", "link", "set", "lo", "up")
            run("nsenter", ns, "ip", "address", "add", net + "2/24", "dev", f"fleet-b{i}")
            run("nsenter", ns, "ip", "link", "set", f"fleet-b{i}", "up")
            procs.append(subprocess.Popen(["nsenter", ns, f"{build}/receiver/kelbosrx", "--headless", "--metrics",
                                           "9464", "--time", str(SECONDS + 20)], cwd=os.path.join(ROOT, "scenes"),
                                          stdout=subprocess.DEVNULL))
        config = os.path.join(scratch, "prometheus.yml")
        with open(config, "w") as f:
            targets = ", ".join(f"'{net}2:9464'" for net in NETWORKS)
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    f"rule_files: ['{ROOT}/resources/prometheus/kelbos.rules.yml']\n"
                    f"scrape_configs:\n  - job_name: kelbos\n    static_configs:\n      - targets: [{targets}]\n")
        procs.append(subprocess.Popen(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={scratch}/data",
                                       "--web.listen-address=127.0.0.1:9090"], stderr=subprocess.DEVNULL))
        time.sleep(2)
        start = time.time()
        pending = sorted(LINKS, key=lambda link: link[1])
        while time.time() < start + SECONDS:
            while pending and time.time() >= start + pending[0][1]:
                host, _, seconds, options = pending.pop(0)
                ns = f"--net=/proc/{holders[host].pid}/ns/net"
                procs.append(subprocess.Popen(["nsenter", ns, f"{build}/transmitter/kelbostx", "--headless", "--go",
                                               "--receiver", "127.0.0.1", "--time", str(seconds), *options],
                                              cwd=os.path.join(ROOT, "scenes"), stdout=subprocess.DEVNULL))
            time.sleep(0.2)
        time.sleep(3)
        selector = '{job=~"kelbos",instance=~".+"}'
        per_receiver = query_range(
            f"sum by (instance) (rate(kelbos_received_all_bytes_total{selector}[5s])) * 8 / 1e6", start, start + SECONDS)
        fleet = query_range(f"sum(rate(kelbos_received_all_bytes_total{selector}[5s])) * 8 / 1e6", start,
                            start + SECONDS)
        svg(sorted(per_receiver, key=lambda s: s["metric"]["instance"]), fleet[0], start, output)
        print(output)
    finally:
        for p in procs + holders:
            p.kill()
            p.wait()
        subprocess.run(["rm", "-rf", scratch])
    return 0


if __name__ == "__main__":
    sys.exit(main())
