#!/usr/bin/env bash
# Throughput benchmark: Kelbos against iperf3 on this machine's loopback, side by side.
# Installs what is missing, builds an optimised copy, and runs the scenarios in a
# private network namespace. Usage: bash bench/run.sh [--runs N] [--seconds S] [--only A,B,...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build bench
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DKELBOS_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" -j"$(nproc)" --target kelbostx kelbosrx
exec unshare -n python3 "$root/bench/kelbos_bench.py" --build "$root/build-bench" --scenes "$root/scenes" "$@"
