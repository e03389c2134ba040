#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, checks the include graph, builds, and runs every test: once
# in a normal build, then once more with AddressSanitizer and UndefinedBehaviorSanitizer,
# then each fuzz target for 30 seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build test
# The include graph: no loop of headers, no library using one above it.
python3 "$root/scripts/include_graph.py" --components "$root"
# Most whole-program tests wait on the clock (ticks, time-outs, a peer held still), each
# in a network namespace of its own, so they run three to a processor. The few whose
# checks time the programs themselves (a shaped link's rate, a reverse lookup's budget,
# event-loop gaps under a stall) run afterwards, one at a time, on a quiet machine.
jobs=$(($(nproc) * 3))
timed='^(TwoHosts\.ShapedLink|Ipv6\.|Waits/Stalled)'
run_tests() {
  ctest --output-on-failure -j"$jobs" -E "$timed${1:+|$1}"
  ctest --output-on-failure -R "$timed" ${1:+-E "$1"}
}

# Both builds keep line tables only (-g1), which is all a failure's stack trace needs;
# full debug information would double what the compiler does for the test programs.
echo "== Build and test (build/)"
"$root/scripts/build.sh" "$root/build" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
(cd "$root/build" && run_tests)

# The real-display tests drive the windows through an X server, and the package test
# makes a Release build of its own; the long whole-program scenarios (vanished hosts,
# a peer paused for 90 seconds, one host's 20-second flood) mostly wait on the clock.
# They all run in the first stage, and are left out here, where every other test runs
# again. The sanitizer build compiles at -O1, as the sanitizers' own documents advise.
echo "== Build and test with sanitizers (build-asan/)"
"$root/scripts/build.sh" "$root/build-asan" -DKELBOS_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
(cd "$root/build-asan" &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_tests 'desktop_(real_display|package)|PausedPeer\.|VanishedHost\.|ConnectionFlood\.AHostsFlood')

echo "== Fuzz each target for 30 seconds"
"$root/scripts/fuzz.sh" 30
