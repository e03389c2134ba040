#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Kelbos throughput benchmark: each scenario measured side by side with its reference.

Runs inside a private network namespace (bench/run.sh starts it with `unshare -n`), so
the programs' fixed ports and iperf3's port never meet anything else on the machine.
Every scenario is run --runs times; the table shows the median of each figure.
"""

import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

STREAM_PORT = 54276


def lo_up():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def listening(port, pid="self"):
    """True when a TCP socket listens on the port in the network namespace of process
    `pid` (read from /proc, so that checking does not itself connect: a connection
    would count as a client)."""
    for table in (f"/proc/{pid}/net/tcp", f"/proc/{pid}/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except FileNotFoundError:
            pass
    return False


def wait_port(port, limit=10.0, pid="self"):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if listening(port, pid):
            return True
        time.sleep(0.02)
    return False


def json_lines(text):
    events = []
    for line in text.splitlines():
        if line.startswith("{"):
            try:
                events.append(json.loads(line))
            except json.JSONDecodeError:
                pass
    return events


def finish(proc, timeout):
    """Waits for a started program, reading its output meanwhile; returns its standard
    output, its standard error and the processor time it used (user and system, in
    seconds), as the system accounted it at its end."""
    texts = {}

    def read(name, stream):
        texts[name] = stream.read() if stream else ""

    readers = [threading.Thread(target=read, args=(name, stream), daemon=True)
               for name, stream in (("out", proc.stdout), ("err", proc.stderr))]
    for r in readers:
        r.start()
    deadline = time.monotonic() + timeout
    for r in readers:
        r.join(max(0.0, deadline - time.monotonic()))
    if any(r.is_alive() for r in readers):
        proc.kill()
        for r in readers:
            r.join()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return texts.get("out", ""), texts.get("err", ""), usage.ru_utime + usage.ru_stime


class Programs:
    def __init__(self, build, scenes, display=None, extra=(), rx_restrictions=None):
        self.extra = list(extra)  # options given to both programs
        # Popen's arguments that put the receiver under the service unit's restrictions.
        self.rx_popen = rx_restrictions.popen_args() if rx_restrictions else {}
        self.tx = os.path.join(build, "transmitter", "kelbostx")
        self.rx = os.path.join(build, "receiver", "kelbosrx")
        self.scenes = scenes
        self.display = display

    def env(self):
        env = dict(os.environ)
        if self.display:
            env["DISPLAY"] = self.display
        return env

    def mode(self):
        return ([] if self.display else ["--headless"]) + self.extra

    def start_rx(self, seconds):
        p = subprocess.Popen([self.rx, *self.mode(), "--json", "--time", str(seconds + 30)], cwd=self.scenes,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.env(),
                             **self.rx_popen)
        if not wait_port(STREAM_PORT):
            p.kill()
            raise RuntimeError("kelbosrx did not start listening")
        return p

    def start_tx(self, seconds, transport, msg_size, sock_buf, kelbo_size, more=()):
        args = [self.tx, *self.mode(), "--json", "--go", "--time", str(seconds), "--receiver", "127.0.0.1",
                "--transport", transport, "--msg-size", str(msg_size), "--sock-buf", str(sock_buf),
                "--delay", "0", "--kelbo-size", str(kelbo_size), *more]
        return subprocess.Popen(args, cwd=self.scenes, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=self.env())

    def run(self, seconds, links=1, transport="tcp", msg_size=150000, sock_buf=150000, kelbo_size=20000000,
            more=()):
        """One transmission (or `links` at once). Returns the measured figures. The send
        buffer is 150000 bytes unless given, as iperf3 -w 150000 sets it; 0 leaves it to
        the system's automatic sizing. `more`: further transmitter options."""
        rx = self.start_rx(seconds)
        txs = [self.start_tx(seconds, transport, msg_size, sock_buf, kelbo_size, more) for _ in range(links)]
        tx_out = [finish(t, seconds + 60) for t in txs]
        # Let the receiver see every link end, then end it as Exit does.
        time.sleep(0.5)
        rx.send_signal(signal.SIGTERM)
        rx_out, rx_err, rx_cpu = finish(rx, 30)
        tx_events = [json_lines(o) for o, _, _ in tx_out]
        rx_events = json_lines(rx_out)
        ends = [next((e for e in ev if e.get("event") == "end"), None) for ev in tx_events]
        if any(e is None for e in ends):
            errs = " | ".join(err.strip()[-300:] for _, err, _ in tx_out)
            raise RuntimeError(f"a transmitter did not report its end: {errs}")
        link_ends = [e for e in rx_events if e.get("event") == "link_end"]
        seconds_sent = statistics.mean(e["seconds"] for e in ends)
        received = sum(e["bytes"] for e in link_ends)
        exits = [e for ev in tx_events for e in ev if e.get("event") == "exit"]
        rx_exit = next((e for e in rx_events if e.get("event") == "exit"), {})
        sent = sum(e["bytes"] for e in ends)
        return {
            "rx_mbits": received * 8 / (seconds_sent * 1e6) if seconds_sent > 0 else 0.0,
            # Processor time per GB (10^9 bytes) each side moved: the receiver per GB it
            # counted, the transmitters per GB they sent.
            "rx_s_per_gb": rx_cpu / (received / 1e9) if received else float("nan"),
            "tx_s_per_gb": sum(c for _, _, c in tx_out) / (sent / 1e9) if sent else float("nan"),
            "rx_udp_buffer": rx_exit.get("udp_receive_buffer", -1),
            "tx_mbits": sum(e["mbits_per_s"] for e in ends),
            "tx_core_percent": 100.0 * sum(c for _, _, c in tx_out) / seconds,
            "tx_gap_ms": max((e.get("max_loop_gap_ms", -1) for e in exits), default=-1),
            "rx_gap_ms": rx_exit.get("max_loop_gap_ms", -1),
            # Processor time the program used during its largest gap: the rest of the gap
            # the system ran something else.
            "tx_gap_busy_ms": max((e.get("max_loop_gap_busy_ms", -1) for e in exits), default=-1),
            "rx_gap_busy_ms": rx_exit.get("max_loop_gap_busy_ms", -1),
            "tx_busy_ms": max((e.get("max_loop_busy_ms", -1) for e in exits), default=-1),
            "rx_busy_ms": rx_exit.get("max_loop_busy_ms", -1),
            "tx_rss_mb": max((e.get("peak_rss_kb", 0) for e in exits), default=0) / 1024,
            "rx_rss_mb": rx_exit.get("peak_rss_kb", 0) / 1024,
            "tx_first_frame_ms": max((e.get("first_frame_ms", -1) for e in exits), default=-1),
            "rx_first_frame_ms": rx_exit.get("first_frame_ms", -1),
        }


def iperf3(seconds, length=None, window=None, parallel=1, udp=False, zerocopy=False, rate=None):
    """One iperf3 test. Returns the sender's and the receiver's rates (Mbit/s) and the
    processor time per GB of the server (the receiving side) and the client."""
    server = subprocess.Popen(["iperf3", "-s", "-1", "-p", "5201"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    client = None
    try:
        if not wait_port(5201):
            raise RuntimeError("iperf3 server did not start")
        args = ["iperf3", "-c", "127.0.0.1", "-p", "5201", "-t", str(seconds), "-J"]
        if length:
            args += ["-l", str(length)]
        if window:
            args += ["-w", str(window)]
        if parallel > 1:
            args += ["-P", str(parallel)]
        if udp:
            args += ["-u", "-b", rate or "0"]
        elif rate:
            args += ["-b", rate]
        if zerocopy:
            args += ["-Z"]
        client = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        out, _, client_cpu = finish(client, seconds + 60)
        client = None
        end = json.loads(out)["end"]
    finally:
        if client:
            client.kill()
            client.wait()
        try:
            _, _, server_cpu = finish(server, 30)
        except Exception:
            server.kill()
            raise
    sent, received = end["sum_sent"], end["sum_received"]
    return {
        "sent_mbits": sent["bits_per_second"] / 1e6,
        "received_mbits": received["bits_per_second"] / 1e6,
        "server_s_per_gb": server_cpu / (received["bytes"] / 1e9) if received["bytes"] else float("nan"),
        "client_s_per_gb": client_cpu / (sent["bytes"] / 1e9) if sent["bytes"] else float("nan"),
        "client_core_percent": 100.0 * client_cpu / seconds,
    }


LOSSY_RATE = "500mbit"
# Sender (this namespace) 10.77.0.1 -- 10.77.0.254 router 10.78.0.254 -- 10.78.0.2 receiver.
LOSSY_SENDER, LOSSY_ROUTER_IN = "10.77.0.1", "10.77.0.254"
LOSSY_ROUTER_OUT, LOSSY_RECEIVER = "10.78.0.254", "10.78.0.2"
# Frames on the path carry a whole 32700-byte datagram. In 1500-byte frames each datagram
# went as 23 fragments; the receiving host keeps those of a datagram that lost one for
# 30 s (net.ipv4.ipfrag_time), and once they fill its 4 MB for reassembly
# (ipfrag_high_thresh) it refuses every new fragment: after a second of loss nothing
# arrives any more, for either tool, in this run and in the next on the same path.
LOSSY_MTU = "65535"
# The router's queue toward the receiver: what arrives faster than the rate waits here,
# up to this much delay, and is dropped beyond it.
LOSSY_QUEUE = ("burst", "256kb", "latency", "20ms")


# P: the target rates whose accuracy is measured; S: the smoothness path's shaper and
# rates; Q: the rates whose processor time is measured.
PACED_RATES = ("10M", "100M", "1G", "10G")
SMOOTH_QUEUE = ("burst", "16kb", "limit", "32kb")
SMOOTH_RATES = ("300M", "450M")
COST_RATES = ("100M", "1G")


def parse_rate(text):
    """A rate such as "450M" in bits per second."""
    return float(text[:-1]) * {"k": 1e3, "M": 1e6, "G": 1e9}[text[-1]] if text[-1] in "kMG" else float(text)


class Namespace:
    """A network namespace held by a sleeping process, for commands run inside it."""

    def __init__(self):
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "3600"])
        own = os.readlink("/proc/self/ns/net")
        deadline = time.monotonic() + 5
        while os.readlink(f"/proc/{self.holder.pid}/ns/net") == own and time.monotonic() < deadline:
            time.sleep(0.01)
        self.pid = self.holder.pid

    def inside(self, args):
        return ["nsenter", "-t", str(self.pid), "-n", *args]

    def close(self):
        self.holder.kill()
        self.holder.wait()


class LossyPath:
    """A path that drops where a real network does, after the sending host: this
    namespace sends; a second one routes, with a token bucket filter of 500 Mbit/s on its
    way out toward the third, which receives. A datagram is charged to its sender's
    socket only until it leaves this namespace, so the senders offer what their pacing
    asks and the router's queue drops what the rate cannot carry. Runs as root, inside
    the namespace bench/run.sh made. `queue`: the token bucket's burst and limit."""

    def __init__(self, queue=LOSSY_QUEUE, mtu=LOSSY_MTU):
        self.queue = list(queue)
        self.mtu = mtu

    def __enter__(self):
        self.router, self.receiver = Namespace(), None
        try:
            self.receiver = Namespace()
            r, x = str(self.router.pid), str(self.receiver.pid)
            router, receiver = self.router.inside, self.receiver.inside
            for cmd in (["ip", "link", "add", "klossa", "type", "veth", "peer", "name", "klossr1", "netns", r],
                        ["ip", "link", "add", "klossb", "netns", x, "type", "veth", "peer", "name", "klossr2",
                         "netns", r],
                        ["ip", "addr", "add", LOSSY_SENDER + "/24", "dev", "klossa"],
                        ["ip", "link", "set", "klossa", "mtu", self.mtu, "up"],
                        ["ip", "route", "add", LOSSY_RECEIVER + "/32", "via", LOSSY_ROUTER_IN],
                        router(["ip", "link", "set", "lo", "up"]),
                        router(["ip", "addr", "add", LOSSY_ROUTER_IN + "/24", "dev", "klossr1"]),
                        router(["ip", "addr", "add", LOSSY_ROUTER_OUT + "/24", "dev", "klossr2"]),
                        router(["ip", "link", "set", "klossr1", "mtu", self.mtu, "up"]),
                        router(["ip", "link", "set", "klossr2", "mtu", self.mtu, "up"]),
                        router(["sysctl", "-q", "-w", "net.ipv4.ip_forward=1"]),
                        router(["tc", "qdisc", "add", "dev", "klossr2", "root", "tbf", "rate", LOSSY_RATE,
                                *self.queue]),
                        receiver(["ip", "link", "set", "lo", "up"]),
                        receiver(["ip", "addr", "add", LOSSY_RECEIVER + "/24", "dev", "klossb"]),
                        receiver(["ip", "link", "set", "klossb", "mtu", self.mtu, "up"]),
                        receiver(["ip", "route", "add", LOSSY_SENDER + "/32", "via", LOSSY_ROUTER_OUT])):
                subprocess.run(cmd, check=True)
        except BaseException:
            self.__exit__()
            raise
        return self

    def inside(self, args):
        """A command run in the receiving namespace."""
        return self.receiver.inside(args)

    @property
    def receiver_pid(self):
        return self.receiver.pid

    def drops(self):
        """Packets the router's token bucket has dropped so far."""
        out = subprocess.run(self.router.inside(["tc", "-s", "qdisc", "show", "dev", "klossr2"]),
                             capture_output=True, text=True).stdout
        m = re.search(r"dropped (\d+)", out)
        return int(m.group(1)) if m else -1

    def reassembly_failures(self):
        """Datagrams the receiving host failed to put together from fragments so far."""
        lines = subprocess.run(self.inside(["cat", "/proc/net/snmp"]), capture_output=True,
                               text=True).stdout.splitlines()
        ip = dict(zip(lines[0].split()[1:], lines[1].split()[1:])) if len(lines) > 1 else {}
        return int(ip.get("ReasmFails", -1))

    def __exit__(self, *exc):
        subprocess.run(["ip", "link", "del", "klossa"], check=False, stderr=subprocess.DEVNULL)
        for ns in (self.receiver, self.router):
            if ns:
                ns.close()


def lossy_kelbos(path, build, scenes, seconds, delays, msg_size=32700, rate=None):
    """Kelbos over the lossy path: one transmitter of numbered 32700-byte datagrams for
    each of `delays`, paced by that --delay (at 1, one a millisecond, 261.6 Mbit/s at
    most; the timer of a busy machine gives fewer); or, given a `rate`, one transmitter
    of `msg_size`-byte datagrams paced by --rate. Returns the loss in percent over all
    links, the mean of their jitters and the rate they offered."""
    if rate:
        delays = [0]
    links = len(delays)
    dropped = path.drops()
    rx = subprocess.Popen(path.inside([os.path.join(build, "receiver", "kelbosrx"), "--headless", "--json",
                                       "--time", str(seconds + 30)]),
                          cwd=scenes, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if not wait_port(STREAM_PORT, pid=path.receiver_pid):
        rx.kill()
        raise RuntimeError("kelbosrx did not start listening")
    txs = [subprocess.Popen([os.path.join(build, "transmitter", "kelbostx"), "--headless", "--json", "--go",
                             "--time", str(seconds), "--receiver", LOSSY_RECEIVER, "--transport", "udp",
                             "--udp-numbered", "--msg-size", str(msg_size), "--delay", str(delay),
                             *(["--rate", rate] if rate else [])],
                            cwd=scenes, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
           for delay in delays]
    tx_out = [finish(t, seconds + 60) for t in txs]
    tx_events = [json_lines(out) for out, _, _ in tx_out]
    time.sleep(0.5)
    rx.send_signal(signal.SIGTERM)
    rx_out, rx_err, _ = finish(rx, 30)
    link_ends = [e for e in json_lines(rx_out) if e.get("event") == "link_end"]
    ends = [e for e in link_ends if "lost" in e]
    if len(ends) != links:
        hows = [e.get("how") for ev in tx_events for e in ev if e.get("event") == "end"]
        raise RuntimeError(f"{len(ends)} numbered links ended on the receiver, not {links} ({len(link_ends)} "
                           f"links ended in all: {link_ends}); transmissions {hows}; "
                           f"{' | '.join(err.strip()[-200:] for _, err, _ in tx_out)} | {rx_err[-300:]}")
    lost = sum(e["lost"] for e in ends)
    came = sum(e["datagrams"] - e["duplicates"] for e in ends)
    tx_ends = [e for ev in tx_events for e in ev if e.get("event") == "end"]
    sent = sum(e.get("datagrams", 0) for e in tx_ends)
    return {"loss_percent": 100.0 * lost / (lost + came) if lost + came else float("nan"),
            "jitter_ms": statistics.mean(e["jitter_ms"] for e in ends),
            # Each link over the time it sent for, as the transmitter timed it.
            "mbits": sum(e.get("datagrams", 0) * msg_size * 8 / (e["seconds"] * 1e6)
                         for e in tx_ends if e.get("seconds")),
            "router_drops": path.drops() - dropped,
            # The same loss from the transmitters' own counts: the numbers cannot show the
            # datagrams lost after a link's last one that came.
            "sent_loss_percent": 100.0 * (sent - came) / sent if sent else float("nan")}


def lossy_calibrate(path, build, scenes, seconds, target=800.0):
    """The paced links that offer about `target` Mbit/s on this machine (a busy one gives
    fewer timer ticks than asked): three links at --delay 1 measure what one gives; then
    as many of those as fit, at most nine, and one slower link for the rest. Returns the
    links' delays and the figures of the last try."""
    delays = [1, 1, 1]
    for _ in range(3):
        figures = lossy_kelbos(path, build, scenes, seconds, delays)
        if abs(figures["mbits"] - target) <= 0.05 * target or figures["mbits"] <= 0:
            break
        one = figures["mbits"] / sum(1 / d for d in delays)  # a link at --delay 1
        full = min(9, int(target // one))
        rest = target - full * one
        delays = [1] * full + ([max(2, round(one / rest))] if rest > one / 20 else [])
    return delays, figures


def delays_text(delays):
    """The paced links in words: "4 links: 3 at --delay 1 and 1 at --delay 2"."""
    counts = {d: delays.count(d) for d in sorted(set(delays))}
    parts = [f"{n} at --delay {d}" for d, n in counts.items()]
    return f"{len(delays)} links: " + " and ".join(parts)


def lossy_iperf3(path, seconds, rate="800M", length=32700):
    """iperf3 over the lossy path, by default at 800 Mbit/s with 32700-byte datagrams."""
    dropped = path.drops()
    server = subprocess.Popen(path.inside(["iperf3", "-s", "-1", "-p", "5201"]), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        if not wait_port(5201, pid=path.receiver_pid):
            raise RuntimeError("iperf3 server did not start")
        client = subprocess.Popen(["iperf3", "-c", LOSSY_RECEIVER, "-p", "5201", "-t", str(seconds), "-J", "-u",
                                   "-b", rate, "-l", str(length)], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        out, _, _ = finish(client, seconds + 60)
    finally:
        finish(server, 30)
    end = json.loads(out)["end"]
    total = end["sum"]
    return {"loss_percent": total["lost_percent"], "jitter_ms": total["jitter_ms"],
            "mbits": end.get("sum_sent", total)["bits_per_second"] / 1e6, "router_drops": path.drops() - dropped}


class Xvfb:
    def __init__(self, display=":97"):
        self.display = display
        self.proc = None

    def __enter__(self):
        self.proc = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sock = f"/tmp/.X11-unix/X{self.display[1:]}"
        deadline = time.monotonic() + 10
        while not os.path.exists(sock) and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.display

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def machine_text():
    """One line about the machine the figures come from."""
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    except OSError:
        pass
    with open("/proc/meminfo") as f:
        mem_kb = int(f.readline().split()[1])
    load = os.getloadavg()
    iperf = subprocess.run(["iperf3", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    return (f"Machine: {os.cpu_count()} x {model}, {mem_kb / 1048576:.0f} GiB, Linux {os.uname().release}; "
            f"{iperf}; load average at the end {load[0]:.2f}.")


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else float("nan")


GAP_FIGURES = ("tx_gap_ms", "rx_gap_ms", "tx_gap_busy_ms", "rx_gap_busy_ms", "tx_busy_ms", "rx_busy_ms")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", required=True)
    ap.add_argument("--scenes", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--only", default="A,A-Z,B,C,D,E,F,G,H,I,J,J-Z,K,L,M,P,S,Q")
    ap.add_argument("--unit", help="the receiver's service unit, for L (default: resources/kelbosrx.service.in)")
    args = ap.parse_args()
    lo_up()
    only = set(args.only.split(","))
    secs = args.seconds
    headless = Programs(args.build, args.scenes)
    restrictions = None
    if "L" in only:
        from unit_restrictions import UnitRestrictions
        unit = args.unit or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources",
                                         "kelbosrx.service.in")
        restrictions = UnitRestrictions(unit)

    samples = {}
    lossy_delays = None  # M's paced links, found in its first run

    def keep(key, value):
        samples.setdefault(key, []).append(value)

    def keep_all(prefix, figures, keys):
        for k in keys:
            keep(prefix + k, figures[k])

    for run in range(args.runs):
        print(f"run {run + 1} of {args.runs}", file=sys.stderr, flush=True)
        if only & {"A", "D", "F", "G", "I"}:
            a = headless.run(secs)
            keep("A_kelbos", a["rx_mbits"])
            keep_all("A_", a, ("rx_s_per_gb", "tx_s_per_gb"))
            keep_all("G_", a, GAP_FIGURES + ("tx_rss_mb", "rx_rss_mb", "tx_first_frame_ms", "rx_first_frame_ms"))
        if only & {"A", "I"}:
            ref = iperf3(secs, 150000, 150000)
            keep("A_ref", ref["received_mbits"])
            keep_all("A_ref_", ref, ("server_s_per_gb", "client_s_per_gb"))
        if only & {"A-Z", "I"}:
            # The same settings, iperf3 sending from a file without copying (-Z).
            if not only & {"A", "D", "F", "G", "I"}:
                a = headless.run(secs)
                keep("A_kelbos", a["rx_mbits"])
                keep_all("A_", a, ("rx_s_per_gb", "tx_s_per_gb"))
            ref = iperf3(secs, 150000, 150000, zerocopy=True)
            keep("AZ_ref", ref["received_mbits"])
            keep("AZ_ref_client_s_per_gb", ref["client_s_per_gb"])
        if "B" in only:
            keep("B_kelbos", headless.run(secs, msg_size=32700, sock_buf=65535)["rx_mbits"])
            keep("B_ref", iperf3(secs, 32700, 65535)["received_mbits"])
        if "C" in only:
            keep("C_kelbos", headless.run(secs, links=10)["rx_mbits"])
            keep("C_ref", iperf3(secs, 150000, 150000, parallel=10)["received_mbits"])
        if "D" in only:
            # D against an A of its own, taken next to it, first one and then the other
            # in turn: this loopback drifts by half within minutes.
            pair = [("D_kelbos", {"kelbo_size": 100000}), ("D_base", {})]
            for key, settings in pair if run % 2 == 0 else reversed(pair):
                keep(key, headless.run(secs, **settings)["rx_mbits"])
        if only & {"E", "G", "H", "I"}:
            # One UDP run serves E (what was sent), H (what was received) and I; the same
            # run with numbered datagrams goes next to it, first in every other round.
            def plain():
                h = headless.run(secs, transport="udp", msg_size=32700)
                keep("E_kelbos", h["tx_mbits"])
                keep("H_kelbos", h["rx_mbits"])
                keep("H_udp_buffer", h["rx_udp_buffer"])
                keep_all("H_", h, ("rx_s_per_gb", "tx_s_per_gb") + GAP_FIGURES)

            def numbered():
                hn = headless.run(secs, transport="udp", msg_size=32700, more=["--udp-numbered"])
                keep("EN_kelbos", hn["tx_mbits"])
                keep("HN_kelbos", hn["rx_mbits"])
                keep_all("HN_", hn, ("rx_s_per_gb", "tx_s_per_gb"))

            for step in (plain, numbered) if run % 2 == 0 else (numbered, plain):
                step()
            ref = iperf3(secs, 32700, udp=True)
            keep("E_ref", ref["sent_mbits"])
            keep("H_ref", ref["received_mbits"])
            keep_all("H_ref_", ref, ("server_s_per_gb", "client_s_per_gb"))
        if only & {"J", "J-Z"}:
            j = headless.run(secs, msg_size=131072, sock_buf=0)
            keep("J_kelbos", j["rx_mbits"])
            keep("J_tx_s_per_gb", j["tx_s_per_gb"])
            keep("J_rx_s_per_gb", j["rx_s_per_gb"])
        if "J" in only:
            ref = iperf3(secs)
            keep("J_ref", ref["received_mbits"])
            keep("J_ref_server_s_per_gb", ref["server_s_per_gb"])
        if only & {"J-Z", "I"} and only & {"J", "J-Z"}:
            ref = iperf3(secs, zerocopy=True)
            keep("JZ_ref", ref["received_mbits"])
            keep("JZ_ref_client_s_per_gb", ref["client_s_per_gb"])
        if "L" in only:
            # H with the receiver as the service runs it, against iperf3's server run
            # right after it.
            l = Programs(args.build, args.scenes, rx_restrictions=restrictions).run(
                secs, transport="udp", msg_size=32700)
            keep("L_kelbos", l["rx_mbits"])
            keep("L_udp_buffer", l["rx_udp_buffer"])
            keep("L_ref", iperf3(secs, 32700, udp=True)["received_mbits"])
        if "K" in only:
            # A with both programs' Rate History windows open (G's loop figures again),
            # against an A of its own taken next to it, in turn first, as for D.
            def with_history():
                k = Programs(args.build, args.scenes, extra=["--rate-history"]).run(secs)
                keep("K_kelbos", k["rx_mbits"])
                keep_all("K_", k, ("tx_gap_ms", "rx_gap_ms", "tx_busy_ms", "rx_busy_ms", "tx_rss_mb", "rx_rss_mb"))

            def k_base():
                keep("K_base", headless.run(secs)["rx_mbits"])

            for step in (with_history, k_base) if run % 2 == 0 else (k_base, with_history):
                step()
        if "M" in only:
            with LossyPath() as path:
                # Both tools across the same path, in turn first: a loaded machine's
                # pace changes from minute to minute.
                order = ("kelbos", "iperf3") if run % 2 == 0 else ("iperf3", "kelbos")
                for tool in order:
                    if tool == "iperf3":
                        figures = lossy_iperf3(path, secs)
                    else:
                        if lossy_delays is None:
                            lossy_delays, figures = lossy_calibrate(path, args.build, args.scenes, secs)
                        else:
                            figures = lossy_kelbos(path, args.build, args.scenes, secs, lossy_delays)
                    if path.reassembly_failures():
                        raise RuntimeError("the receiving host failed to reassemble datagrams: the path fragments")
                    name = "M_kelbos_" if tool == "kelbos" else "M_ref_"
                    keep_all(name, figures, ("loss_percent", "jitter_ms", "mbits", "router_drops") +
                             (("sent_loss_percent",) if tool == "kelbos" else ()))
                    print(f"M run {run + 1}: {tool} " + ", ".join(f"{k} {v:.2f}" for k, v in figures.items()),
                          file=sys.stderr, flush=True)
            keep("M_links", len(lossy_delays))
        if "P" in only:
            # Accuracy of --rate on loopback, each rate against iperf3 -b beside it.
            for transport in ("udp", "tcp"):
                for rate in PACED_RATES:
                    p = headless.run(secs, transport=transport, msg_size=32700, sock_buf=0,
                                     more=["--rate", rate])
                    keep(f"P_{transport}_{rate}_tx", p["tx_mbits"])
                    keep(f"P_{transport}_{rate}_rx", p["rx_mbits"])
                    ref = iperf3(secs, 32700, udp=transport == "udp", rate=rate)
                    keep(f"P_{transport}_{rate}_ref_tx", ref["sent_mbits"])
                    keep(f"P_{transport}_{rate}_ref_rx", ref["received_mbits"])
        if "S" in only:
            # Smoothness: a shaper with a small bucket and queue loses what comes in bursts.
            with LossyPath(SMOOTH_QUEUE, "1500") as path:
                order = ("kelbos", "iperf3") if run % 2 == 0 else ("iperf3", "kelbos")
                for rate in SMOOTH_RATES:
                    for tool in order:
                        if tool == "kelbos":
                            figures = lossy_kelbos(path, args.build, args.scenes, secs, [], 1472, rate)
                        else:
                            figures = lossy_iperf3(path, secs, rate, 1472)
                        keep_all(f"S_{rate}_{tool}_", figures, ("loss_percent", "jitter_ms", "mbits"))
        if "Q" in only:
            # The paced transmitter's processor time against iperf3's client at the same rate.
            for transport in ("udp", "tcp"):
                for rate in COST_RATES:
                    q = headless.run(secs, transport=transport, msg_size=32700, sock_buf=0, more=["--rate", rate])
                    keep(f"Q_{transport}_{rate}_kelbos", q["tx_core_percent"])
                    ref = iperf3(secs, 32700, udp=transport == "udp", rate=rate)
                    keep(f"Q_{transport}_{rate}_ref", ref["client_core_percent"])
        if only & {"F", "G"}:
            with Xvfb() as display:
                windowed = Programs(args.build, args.scenes, display)
                # F against a headless A of its own taken next to it, in turn first.
                if run % 2 == 0:
                    f = windowed.run(secs)
                keep("F_base", headless.run(secs)["rx_mbits"])
                if run % 2 != 0:
                    f = windowed.run(secs)
                fu = windowed.run(secs, transport="udp", msg_size=32700)
            keep("F_kelbos", f["rx_mbits"])
            keep_all("F_", f, ("tx_first_frame_ms", "rx_first_frame_ms") + GAP_FIGURES)
            keep("FU_kelbos", fu["rx_mbits"])
            keep_all("FU_", fu, GAP_FIGURES)

    def m(key):
        return median(samples.get(key, []))

    # (name, what, Kelbos figure, reference figure, ratio, target, True when the ratio
    # must reach the target from above rather than below)
    rows = []

    def ratio_row(name, what, kelbos, ref, target, at_least=True):
        k, r = m(kelbos), m(ref)
        ratio = k / r if r and r == r else float("nan")
        rows.append((name, what, k, r, ratio, target, at_least))

    if "A" in only:
        ratio_row("A", "1 TCP link, 150000-byte messages, buffer 150000 vs iperf3 -l 150000 -w 150000", "A_kelbos", "A_ref", 1.0)
    if "B" in only:
        ratio_row("B", "defaults over TCP (32700, buffer 65535) vs iperf3 -l 32700 -w 65535", "B_kelbos", "B_ref", 1.0)
    if "C" in only:
        ratio_row("C", "10 transmitters into one receiver vs iperf3 -P 10", "C_kelbos", "C_ref", 1.0)
    if "D" in only:
        ratio_row("D", "A with kelbo size 100000 bits vs A beside it", "D_kelbos", "D_base", 0.95)
    if "E" in only:
        ratio_row("E", "UDP 32700, transmitter's send rate vs iperf3 -u -b 0 sender", "E_kelbos", "E_ref", 0.9)
    if "E" in only:
        ratio_row("EN", "E with --udp-numbered vs E", "EN_kelbos", "E_kelbos", 0.95)
    if "F" in only:
        ratio_row("F", "A in windows under Xvfb vs A headless beside it", "F_kelbos", "F_base", 0.9)
    if "H" in only:
        ratio_row("H", "UDP 32700, receiver's received rate vs iperf3 -u -b 0 -l 32700 received", "H_kelbos", "H_ref",
                  1.0)
    if "H" in only:
        ratio_row("HN", "H with --udp-numbered vs H", "HN_kelbos", "H_kelbos", 0.95)
    if "J" in only:
        ratio_row("J", "TCP 131072-byte messages, buffer 0 vs iperf3 defaults (no -l, no -w)", "J_kelbos", "J_ref",
                  1.2)
    if "L" in only:
        ratio_row("L", "H with the receiver under its service unit's restrictions (nobody, no capabilities, its call "
              "filter) vs iperf3 -u -b 0 -l 32700 received", "L_kelbos", "L_ref", 0.9)
    if "A-Z" in only:
        ratio_row("A-Z", "A vs iperf3 -Z -l 150000 -w 150000 (iperf3 sending without copying)", "A_kelbos", "AZ_ref",
                  1.2)
    if "J-Z" in only:
        ratio_row("J-Z", "J vs iperf3 -Z (no -l, no -w)", "J_kelbos", "JZ_ref", 1.2)
    if "K" in only:
        ratio_row("K", "A with the Rate History windows open vs A beside it", "K_kelbos", "K_base", 0.95)

    print()
    print(machine_text())
    print(f"Median of {args.runs} runs, {secs} s each. Rates in Mbit/s.")
    print()
    print("| | scenario | Kelbos | reference | ratio | target |")
    print("|---|---|---:|---:|---:|---:|")

    def mark(ratio, target, at_least):
        met = ratio >= target if at_least else ratio <= target
        return f"{'>=' if at_least else '<='} {target} {'ok' if met else 'MISSED'}"

    for name, what, k, r, ratio, target, at_least in rows:
        print(f"| {name} | {what} | {k:.0f} | {r:.0f} | {ratio:.2f} | {mark(ratio, target, at_least)} |")
    if "I" in only or "J" in only:
        print()
        print("| I | processor time per GB (10^9 bytes) moved, s | Kelbos | iperf3 | ratio | target |")
        print("|---|---|---:|---:|---:|---:|")
        for what, k_key, r_key, target in (
                ("receiver vs server, A (TCP, per GB received)", "A_rx_s_per_gb", "A_ref_server_s_per_gb", 1.0),
                ("receiver vs server, H (UDP, per GB received)", "H_rx_s_per_gb", "H_ref_server_s_per_gb", 1.0),
                ("receiver vs server, J (TCP, buffers left to the system)", "J_rx_s_per_gb",
                 "J_ref_server_s_per_gb", 0.7),
                ("transmitter vs client, A (TCP, per GB sent)", "A_tx_s_per_gb", "A_ref_client_s_per_gb", None),
                ("transmitter vs client, H (UDP, per GB sent)", "H_tx_s_per_gb", "H_ref_client_s_per_gb", None),
                ("transmitter, H numbered vs plain (per GB sent)", "HN_tx_s_per_gb", "H_tx_s_per_gb", None),
                ("receiver, H numbered vs plain (per GB received)", "HN_rx_s_per_gb", "H_rx_s_per_gb", None),
                ("transmitter vs iperf3 -Z's client, A (TCP, per GB sent)", "A_tx_s_per_gb", "AZ_ref_client_s_per_gb",
                 0.7),
                ("transmitter vs iperf3 -Z's client, J (TCP, per GB sent)", "J_tx_s_per_gb", "JZ_ref_client_s_per_gb",
                 0.7)):
            if k_key not in samples or r_key not in samples:
                continue
            k, r = m(k_key), m(r_key)
            if k != k or r != r:
                continue  # a scenario not run
            ratio = k / r if r else float("nan")
            verdict = mark(ratio, target, False) if target else ""
            print(f"| I | {what} | {k:.3f} | {r:.3f} | {ratio:.2f} | {verdict} |")
    for key, what in (("M", "sender, router and receiver namespaces, tbf 500 Mbit/s on the router's way out"),) \
            if "M" in only else ():
        print()
        print(f"| {key} | lossy path: veth, {what}, UDP 32700-byte datagrams at ~800 Mbit/s | Kelbos | iperf3 | "
              "difference | target |")
        print("|---|---|---:|---:|---:|---:|")
        kl, rl = m(key + "_kelbos_loss_percent"), m(key + "_ref_loss_percent")
        print(f"| {key} | loss (%) | {kl:.1f} | {rl:.1f} | {kl - rl:+.1f} | within 5 points "
              f"{'ok' if abs(kl - rl) <= 5 else 'MISSED'} |")
        kj, rj = m(key + "_kelbos_jitter_ms"), m(key + "_ref_jitter_ms")
        same_order = rj > 0 and 0.1 <= kj / rj <= 10
        print(f"| {key} | jitter (ms) | {kj:.3f} | {rj:.3f} | x{kj / rj if rj else float('nan'):.2f} | same order "
              f"{'ok' if same_order else 'MISSED'} |")
        print(f"| {key} | offered rate (Mbit/s): {delays_text(lossy_delays or [])} vs iperf3 -b 800M | "
              f"{m(key + '_kelbos_mbits'):.0f} | {m(key + '_ref_mbits'):.0f} | | |")
        print(f"| {key} | Kelbos's loss from the transmitters' counts of sent datagrams (%) | "
              f"{m(key + '_kelbos_sent_loss_percent'):.1f} | | | |")
        print(f"| {key} | packets the router's token bucket dropped | {m(key + '_kelbos_router_drops'):.0f} | "
              f"{m(key + '_ref_router_drops'):.0f} | | |")
    if "P" in only:
        print()
        print("| P | --rate on loopback (32700-byte messages) | Kelbos sent | Kelbos received | iperf3 -b sent | "
              "iperf3 received | Kelbos sent / target | target |")
        print("|---|---|---:|---:|---:|---:|---:|---:|")
        for transport in ("udp", "tcp"):
            for rate in PACED_RATES:
                key = f"P_{transport}_{rate}"
                tx, want = m(key + "_tx"), parse_rate(rate) / 1e6
                ok = abs(tx / want - 1) <= 0.01 and (transport == "udp" or abs(m(key + "_rx") / want - 1) <= 0.01)
                print(f"| P | {transport.upper()} {rate} | {tx:.1f} | {m(key + '_rx'):.1f} | {m(key + '_ref_tx'):.1f} | "
                      f"{m(key + '_ref_rx'):.1f} | {tx / want:.4f} | within 1% {'ok' if ok else 'MISSED'} |")
    if "S" in only:
        print()
        print("| S | smooth pacing: sender, router and receiver namespaces, MTU 1500, tbf 500mbit burst 16kb "
              "limit 32kb; UDP 1472-byte datagrams | Kelbos (--rate, --udp-numbered) | iperf3 -u -b -l 1472 | target |")
        print("|---|---|---:|---:|---:|")
        for rate in SMOOTH_RATES:
            kl, rl = m(f"S_{rate}_kelbos_loss_percent"), m(f"S_{rate}_iperf3_loss_percent")
            ok = kl < 0.05 and kl <= rl / 5
            print(f"| S | {rate}: loss (%) | {kl:.3f} | {rl:.3f} | < 0.05 and <= a fifth {'ok' if ok else 'MISSED'} |")
            kj, rj = m(f"S_{rate}_kelbos_jitter_ms"), m(f"S_{rate}_iperf3_jitter_ms")
            print(f"| S | {rate}: jitter (ms) | {kj:.4f} | {rj:.4f} | <= iperf3 {'ok' if kj <= rj else 'MISSED'} |")
            print(f"| S | {rate}: offered (Mbit/s) | {m(f'S_{rate}_kelbos_mbits'):.1f} | "
                  f"{m(f'S_{rate}_iperf3_mbits'):.1f} | |")
    if "Q" in only:
        print()
        print("| Q | transmitter's processor time at a target rate (32700-byte messages), % of a core | Kelbos | "
              "iperf3 client | target |")
        print("|---|---|---:|---:|---:|")
        for transport in ("udp", "tcp"):
            for rate in COST_RATES:
                k = m(f"Q_{transport}_{rate}_kelbos")
                target = "< 10 " + ("ok" if k < 10 else "MISSED") if rate == "100M" else ""
                print(f"| Q | {transport.upper()} {rate} | {k:.1f} | {m(f'Q_{transport}_{rate}_ref'):.1f} | {target} |")
    print()
    print("Every run's figures (Mbit/s, or as named):")
    for key in sorted(samples):
        print(f"  {key}: " + ", ".join(f"{v:.3f}" if "per_gb" in key else f"{v:.1f}" for v in samples[key]))
    if "G" in only:
        print()
        print("| G | figure | transmitter | receiver | target |")
        print("|---|---|---:|---:|---:|")
        print(f"| G | largest event-loop gap during A (ms) | {m('G_tx_gap_ms'):.0f} | {m('G_rx_gap_ms'):.0f} | <= 20 |")
        print(f"| G | processor time the program used in that gap (ms) | {m('G_tx_gap_busy_ms'):.1f} | "
              f"{m('G_rx_gap_busy_ms'):.1f} | |")
        print(f"| G | most processor time between two turns of the loop (ms) | {m('G_tx_busy_ms'):.1f} | "
              f"{m('G_rx_busy_ms'):.1f} | <= 20 |")
        print(f"| G | largest event-loop gap during H, UDP (ms) | {m('H_tx_gap_ms'):.0f} | {m('H_rx_gap_ms'):.0f} | "
              f"<= 20 |")
        print(f"| G | processor time the program used in that gap (ms) | {m('H_tx_gap_busy_ms'):.1f} | "
              f"{m('H_rx_gap_busy_ms'):.1f} | |")
        print(f"| G | most processor time between two turns of the loop, UDP (ms) | {m('H_tx_busy_ms'):.1f} | "
              f"{m('H_rx_busy_ms'):.1f} | <= 20 |")
        print(f"| G | peak resident memory during A (MB) | {m('G_tx_rss_mb'):.1f} | {m('G_rx_rss_mb'):.1f} | < 60 |")
        print(f"| G | start to first painted frame, headless (ms) | {m('G_tx_first_frame_ms'):.0f} | "
              f"{m('G_rx_first_frame_ms'):.0f} | <= 500 |")
        print(f"| G | start to first painted frame, Xvfb (ms) | {m('F_tx_first_frame_ms'):.0f} | "
              f"{m('F_rx_first_frame_ms'):.0f} | <= 500 |")
        for key, what in (("F", "during F, TCP under Xvfb"), ("FU", "UDP under Xvfb")):
            print(f"| G | largest event-loop gap, {what} (ms) | {m(key + '_tx_gap_ms'):.0f} | "
                  f"{m(key + '_rx_gap_ms'):.0f} | <= 20 |")
            print(f"| G | processor time the program used in that gap (ms) | {m(key + '_tx_gap_busy_ms'):.1f} | "
                  f"{m(key + '_rx_gap_busy_ms'):.1f} | |")
            print(f"| G | most processor time between two turns of the loop (ms) | {m(key + '_tx_busy_ms'):.1f} | "
                  f"{m(key + '_rx_busy_ms'):.1f} | <= 20 |")
        if "K" in only:
            print(f"| G | largest event-loop gap during K, history open (ms) | {m('K_tx_gap_ms'):.0f} | "
                  f"{m('K_rx_gap_ms'):.0f} | <= 20 |")
            print(f"| G | most processor time between two turns of the loop, history open (ms) | "
                  f"{m('K_tx_busy_ms'):.1f} | {m('K_rx_busy_ms'):.1f} | <= 20 |")
            print(f"| G | peak resident memory during K (MB) | {m('K_tx_rss_mb'):.1f} | {m('K_rx_rss_mb'):.1f} | < 60 |")
    if "L_udp_buffer" in samples:
        print()
        print(f"Under the unit's restrictions the datagram socket got {m('L_udp_buffer'):.0f} bytes, twice "
              f"net.core.rmem_max ({open('/proc/sys/net/core/rmem_max').read().strip()} here; the package's "
              "sysctl file raises it to 16777216).")
    if "H_udp_buffer" in samples:
        print()
        print(f"The receiver's datagram socket got a receive buffer of {m('H_udp_buffer'):.0f} bytes "
              "(as the system reports it).")


if __name__ == "__main__":
    main()
