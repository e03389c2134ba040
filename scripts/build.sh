#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures and builds Kelbos into a build folder (default: build/).
# Usage: scripts/build.sh [BUILD_DIR] [extra cmake options...]
# KELBOS_TARGETS="a b" builds only those targets (default: everything, tests included).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
cmake -S "$root" -B "$dir" -DKELBOS_WERROR=ON "$@" >/dev/null
targets=()
for t in ${KELBOS_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
