#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs each fault test (killed ends, resets, a receiver that stops reading) N times,
# every run in a process and network namespace of its own as ctest runs it, and
# tallies passes, failures and what each run recorded: which failure the transmitter
# reported, and the zero-window tests' loop gap and halt times in milliseconds.
# Needs root (network namespaces) and a build with the tests; the log of each failed
# run is kept as BUILD_DIR/fault-failure-N.log.
# Usage: scripts/fault_runs.sh [N (default 10)] [gtest filter (default all)] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10}
filter=${2:-*}
build=${3:-$root/build}
bin=$build/tests/e2e/fault_tests
export KELBOS_BUILD_DIR=$build QT_QPA_PLATFORM=offscreen
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mapfile -t tests < <("$bin" --gtest_filter="$filter" --gtest_list_tests |
  awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
for test in "${tests[@]}"; do
  passed=0 failed=0
  : >"$work/reports"
  start=$(date +%s)
  for _ in $(seq "$runs"); do
    rm -f "$work/run.xml"
    if "$bin" --gtest_filter="$test" --gtest_output="xml:$work/run.xml" >"$work/log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      cp "$work/log" "$build/fault-failure-$failed.log"
    fi
    sed -n 's/.*property name="\([A-Za-z_]*\)" value="\([^"]*\)".*/\1: \2/p' \
      "$work/run.xml" >>"$work/reports" 2>/dev/null || true
  done
  echo "$test: $passed passed, $failed failed, $(($(date +%s) - start)) s"
  sort "$work/reports" | uniq -c | sed 's/^/    /'
done
