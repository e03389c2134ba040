#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds, and runs the receiver and the transmitter on this
# machine with the bundled scene, the transmitter aimed at localhost. With a display
# both windows open (choose Control > Go in the transmitter); without one the pair
# runs headless for a few seconds and prints its rates as JSON lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build run
# Only the two programs: the test programs are built by the test command.
KELBOS_TARGETS="kelbostx kelbosrx" "$root/scripts/build.sh" "$root/build"
tx=$root/build/transmitter/kelbostx
rx=$root/build/receiver/kelbosrx
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cd "$root/scenes"   # both programs read kelbostx.init from their working folder
  pids=()
  cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
  trap cleanup EXIT INT TERM
  [ -x "$rx" ] && { "$rx" & pids+=($!); }
  if [ -x "$tx" ]; then "$tx"; else wait; fi
else
  echo "No display: running the pair headless for 5 seconds (JSON rate lines follow)."
  "$root/scripts/demo.sh" "$root/build" 5
fi
