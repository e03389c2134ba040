#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the receiver and the transmitter of a build headless on this machine with the
# bundled scene, the transmitter aimed at localhost, and prints their JSON lines as
# they come. Each line gets a "program" member naming the program that wrote it.
# Usage: scripts/demo.sh BUILD_DIR [SECONDS]   (the transmitter sends for SECONDS, 5)
# The exit status is the transmitter's: 0 when it sent and halted cleanly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: demo.sh BUILD_DIR [SECONDS]}
seconds=${2:-5}
tx=$build/transmitter/kelbostx
rx=$build/receiver/kelbosrx
for program in "$tx" "$rx"; do
  [ -x "$program" ] || { echo "demo.sh: $program is not built" >&2; exit 1; }
done
cd "$root/scenes"   # both programs read kelbostx.init from their working folder

label() { sed -u "s/^{/{\"program\":\"$1\",/"; }

work=$(mktemp -d)
rx_pid=
label_pid=
cleanup() {
  [ -n "$rx_pid" ] && kill "$rx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The receiver's lines pass through a pipe of their own, so that the script knows
# the receiver's process and can end it once the transmitter is done.
mkfifo "$work/rx"
label kelbosrx <"$work/rx" &
label_pid=$!
"$rx" --headless --json --time $((seconds + 30)) >"$work/rx" &
rx_pid=$!

# The transmitter starts once the receiver listens on its ports (the stream port is
# the last it opens).
for _ in $(seq 200); do
  ss -Hltn 'sport = :54276' 2>/dev/null | grep -q . && break
  kill -0 "$rx_pid" 2>/dev/null || break
  sleep 0.05
done

status=0
"$tx" --headless --json --go --time "$seconds" --receiver localhost | label kelbostx || status=$?

# The receiver has seen the link end before the transmitter got its answer: end it
# as its Exit command does, and let its last lines through.
kill -TERM "$rx_pid" 2>/dev/null || true
wait "$rx_pid" || true
rx_pid=
wait "$label_pid" || true
exit "$status"
