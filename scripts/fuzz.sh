#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds the fuzz targets with clang in build-fuzz/ and runs
# them side by side, each for SECONDS (default 30) on a copy of its seed corpus; the
# committed corpora are never written. Fails on any finding, whose input is kept in
# build-fuzz/findings/.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
targets=(scene_reader receiver_input transmitter_input)
"$root/scripts/deps.sh" build test

dir=$root/build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -DKELBOS_FUZZ=ON -DKELBOS_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The targets run side by side, each for the whole time, and are reported in turn.
pids=()
for target in "${targets[@]}"; do
  run=$work/$target
  mkdir -p "$run/corpus"
  cp "$root/tests/fuzz/corpus/$target/"* "$run/corpus/"
  extra=()
  case "$target" in
    scene_reader) extra+=(-dict="$root/tests/fuzz/scene_reader.dict") ;;
    # Peer-name lookups finish on their own threads after a run has ended, so every
    # run looks unbalanced to libFuzzer's per-run leak check, which would then run it
    # twice. LeakSanitizer still checks the whole process when it ends.
    receiver_input) extra+=(-detect_leaks=0) ;;
  esac
  # -close_fd_mask=3: the code under test writes its diagnostics to standard error;
  # libFuzzer and the sanitizers (and the harnesses' reports) still get through.
  (cd "$run" && UBSAN_OPTIONS=print_stacktrace=1 "$dir/tests/fuzz/$target" \
      -max_total_time="$seconds" -timeout=60 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$run/" "${extra[@]}" corpus >"$run/log" 2>&1) &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  run=$work/$target
  echo "== $target: ${seconds} s"
  if wait "${pids[$i]}"; then
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' "$run/log" || true
  else
    failed=1
    echo "fuzz.sh: $target found a fault:" >&2
    grep -vE '^#[0-9]+ ' "$run/log" | tail -n 80 >&2
    mkdir -p "$dir/findings/$target"
    cp "$run"/crash-* "$run"/leak-* "$run"/timeout-* "$run"/oom-* "$dir/findings/$target/" 2>/dev/null || true
    echo "fuzz.sh: the input is in $dir/findings/$target/; run it again with" >&2
    echo "  $dir/tests/fuzz/$target $dir/findings/$target/<file>" >&2
  fi
done
exit "$failed"
