#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Throughput benchmark: Kelbos against iperf3 on this machine's loopback, side by side.
# Installs what is missing, builds an optimised copy, and runs the scenarios in a
# private network namespace, then times the pictures alone.
# Usage: bash bench/run.sh [--runs N] [--seconds S] [--only A,B,...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build bench
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DKELBOS_BUILD_TESTS=OFF \
  -DKELBOS_BUILD_BENCH=ON >/dev/null
cmake --build "$root/build-bench" -j"$(nproc)" --target kelbostx kelbosrx picture_bench history_bench
unshare -n python3 "$root/bench/kelbos_bench.py" --build "$root/build-bench" --scenes "$root/scenes" "$@"
echo
echo "The pictures' own cost (one full redraw of the bundled scene; one received chunk):"
QT_QPA_PLATFORM=offscreen "$root/build-bench/bench/picture_bench" --benchmark_min_time=0.5 2>/dev/null
echo
echo "The Rate History window's cost per tick (11 lines of 600 points; Qt Charts beside it when installed):"
QT_QPA_PLATFORM=offscreen "$root/build-bench/bench/history_bench" --benchmark_min_time=0.5 2>/dev/null
