#!/usr/bin/env python3
"""Kelbos throughput benchmark: each scenario measured side by side with its reference.

Runs inside a private network namespace (bench/run.sh starts it with `unshare -n`), so
the programs' fixed ports and iperf3's port never meet anything else on the machine.
Every scenario is run --runs times; the table shows the median of each figure.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

STREAM_PORT = 54276


def lo_up():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def listening(port):
    """True when a TCP socket listens on the port (read from /proc, so that checking
    does not itself connect: a connection would count as a client)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
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


def wait_port(port, limit=10.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if listening(port):
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
    def __init__(self, build, scenes, display=None, extra=()):
        self.extra = list(extra)  # options given to both programs
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
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.env())
        if not wait_port(STREAM_PORT):
            p.kill()
            raise RuntimeError("kelbosrx did not start listening")
        return p

    def start_tx(self, seconds, transport, msg_size, sock_buf, kelbo_size):
        args = [self.tx, *self.mode(), "--json", "--go", "--time", str(seconds), "--receiver", "127.0.0.1",
                "--transport", transport, "--msg-size", str(msg_size), "--sock-buf", str(sock_buf),
                "--delay", "0", "--kelbo-size", str(kelbo_size)]
        return subprocess.Popen(args, cwd=self.scenes, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=self.env())

    def run(self, seconds, links=1, transport="tcp", msg_size=150000, sock_buf=150000, kelbo_size=20000000):
        """One transmission (or `links` at once). Returns the measured figures. The send
        buffer is 150000 bytes unless given, as iperf3 -w 150000 sets it; 0 leaves it to
        the system's automatic sizing."""
        rx = self.start_rx(seconds)
        txs = [self.start_tx(seconds, transport, msg_size, sock_buf, kelbo_size) for _ in range(links)]
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


def iperf3(seconds, length=None, window=None, parallel=1, udp=False, zerocopy=False):
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
            args += ["-u", "-b", "0"]
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
    }


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
    ap.add_argument("--only", default="A,A-Z,B,C,D,E,F,G,H,I,J,J-Z,K")
    args = ap.parse_args()
    lo_up()
    only = set(args.only.split(","))
    secs = args.seconds
    headless = Programs(args.build, args.scenes)

    samples = {}

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
            keep("D_kelbos", headless.run(secs, kelbo_size=100000)["rx_mbits"])
        if only & {"E", "G", "H", "I"}:
            # One UDP run serves E (what was sent), H (what was received) and I.
            h = headless.run(secs, transport="udp", msg_size=32700)
            keep("E_kelbos", h["tx_mbits"])
            keep("H_kelbos", h["rx_mbits"])
            keep("H_udp_buffer", h["rx_udp_buffer"])
            keep_all("H_", h, ("rx_s_per_gb", "tx_s_per_gb") + GAP_FIGURES)
            ref = iperf3(secs, 32700, udp=True)
            keep("E_ref", ref["sent_mbits"])
            keep("H_ref", ref["received_mbits"])
            keep_all("H_ref_", ref, ("server_s_per_gb", "client_s_per_gb"))
        if only & {"J", "J-Z"}:
            j = headless.run(secs, msg_size=131072, sock_buf=0)
            keep("J_kelbos", j["rx_mbits"])
            keep("J_tx_s_per_gb", j["tx_s_per_gb"])
        if "J" in only:
            keep("J_ref", iperf3(secs)["received_mbits"])
        if only & {"J-Z", "I"} and only & {"J", "J-Z"}:
            ref = iperf3(secs, zerocopy=True)
            keep("JZ_ref", ref["received_mbits"])
            keep("JZ_ref_client_s_per_gb", ref["client_s_per_gb"])
        if "K" in only:
            # A with both programs' Rate History windows open: G's loop figures again.
            k = Programs(args.build, args.scenes, extra=["--rate-history"]).run(secs)
            keep("K_kelbos", k["rx_mbits"])
            keep_all("K_", k, ("tx_gap_ms", "rx_gap_ms", "tx_busy_ms", "rx_busy_ms", "tx_rss_mb", "rx_rss_mb"))
        if only & {"F", "G"}:
            with Xvfb() as display:
                windowed = Programs(args.build, args.scenes, display)
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
        ratio_row("D", "A with kelbo size 100000 bits vs A", "D_kelbos", "A_kelbos", 0.95)
    if "E" in only:
        ratio_row("E", "UDP 32700, transmitter's send rate vs iperf3 -u -b 0 sender", "E_kelbos", "E_ref", 0.9)
    if "F" in only:
        ratio_row("F", "A in windows under Xvfb vs A headless", "F_kelbos", "A_kelbos", 0.9)
    if "H" in only:
        ratio_row("H", "UDP 32700, receiver's received rate vs iperf3 -u -b 0 -l 32700 received", "H_kelbos", "H_ref",
                  1.0)
    if "J" in only:
        ratio_row("J", "TCP 131072-byte messages, buffer 0 vs iperf3 defaults (no -l, no -w)", "J_kelbos", "J_ref",
                  1.0)
    if "A-Z" in only:
        ratio_row("A-Z", "A vs iperf3 -Z -l 150000 -w 150000 (iperf3 sending without copying)", "A_kelbos", "AZ_ref",
                  1.2)
    if "J-Z" in only:
        ratio_row("J-Z", "J vs iperf3 -Z (no -l, no -w)", "J_kelbos", "JZ_ref", 1.2)
    if "K" in only:
        ratio_row("K", "A with the Rate History windows open vs A", "K_kelbos", "A_kelbos", 0.95)

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
    if "I" in only:
        print()
        print("| I | processor time per GB (10^9 bytes) moved, s | Kelbos | iperf3 | ratio | target |")
        print("|---|---|---:|---:|---:|---:|")
        for what, k_key, r_key, target in (
                ("receiver vs server, A (TCP, per GB received)", "A_rx_s_per_gb", "A_ref_server_s_per_gb", 1.0),
                ("receiver vs server, H (UDP, per GB received)", "H_rx_s_per_gb", "H_ref_server_s_per_gb", 1.0),
                ("transmitter vs client, A (TCP, per GB sent)", "A_tx_s_per_gb", "A_ref_client_s_per_gb", None),
                ("transmitter vs client, H (UDP, per GB sent)", "H_tx_s_per_gb", "H_ref_client_s_per_gb", None),
                ("transmitter vs iperf3 -Z's client, A (TCP, per GB sent)", "A_tx_s_per_gb", "AZ_ref_client_s_per_gb",
                 0.7),
                ("transmitter vs iperf3 -Z's client, J (TCP, per GB sent)", "J_tx_s_per_gb", "JZ_ref_client_s_per_gb",
                 0.7)):
            if k_key not in samples or r_key not in samples:
                continue
            k, r = m(k_key), m(r_key)
            ratio = k / r if r and r == r else float("nan")
            verdict = mark(ratio, target, False) if target else ""
            print(f"| I | {what} | {k:.3f} | {r:.3f} | {ratio:.2f} | {verdict} |")
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
    if "H_udp_buffer" in samples:
        print()
        print(f"The receiver's datagram socket got a receive buffer of {m('H_udp_buffer'):.0f} bytes "
              "(as the system reports it).")


if __name__ == "__main__":
    main()
