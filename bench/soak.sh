#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Soak: ten TCP links into one receiver at full speed, ten minutes by default, in a
# private network namespace; samples the programs' memory and descriptors and checks
# the links' byte counts at the end. Installs what is missing and builds an optimised
# copy. Usage: bash bench/soak.sh [--seconds S] [--links N] [--interval S] [--keep]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build soak
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DKELBOS_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" -j"$(nproc)" --target kelbostx kelbosrx
exec unshare -n python3 "$root/bench/kelbos_soak.py" --build "$root/build-bench" --scenes "$root/scenes" "$@"
