#!/usr/bin/env bash
# Configures and builds Kelbos into a build folder (default: build/).
# Usage: scripts/build.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
cmake -S "$root" -B "$dir" -DKELBOS_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
