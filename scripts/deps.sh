#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs, with apt-get, whatever Debian packages Kelbos needs that are missing.
# Usage: scripts/deps.sh [build|test|run|bench|soak|package|container]...  (build is always included)
set -euo pipefail

build=(cmake make g++ pkg-config qt6-base-dev libgl-dev googletest libgtest-dev libgmock-dev
       prometheus-cpp-dev libmicrohttpd-dev)
test=(fonts-dejavu-core iproute2 util-linux xvfb xauth xdotool imagemagick x11-utils python3 desktop-file-utils
      clang-14 libclang-rt-14-dev man-db dpkg-dev file lintian prometheus systemd tcpdump)
run=(fonts-dejavu-core iproute2)
bench=(iperf3 xvfb xauth linux-perf libbenchmark-dev qt6-charts-dev libqt6opengl6-dev systemd libseccomp2)
soak=(iproute2 util-linux python3)
# CPack's Debian generator finds the Qt runtime dependencies with dpkg-shlibdeps (and
# file); desktop-file-validate checks the desktop entries, man the manual pages, and
# lintian the package. The test set has them too: a test builds the package.
package=(dpkg-dev file desktop-file-utils man-db lintian)
# scripts/container_check.sh: a Debian 12 image made with mmdebstrap, booted with
# systemd-nspawn, reached over a veth pair.
container=(mmdebstrap systemd-container iproute2 util-linux procps)

want=("${build[@]}")
for set in "$@"; do
  case "$set" in
    build) ;;
    test) want+=("${test[@]}") ;;
    run) want+=("${run[@]}") ;;
    bench) want+=("${bench[@]}") ;;
    soak) want+=("${soak[@]}") ;;
    package) want+=("${package[@]}") ;;
    container) want+=("${container[@]}") ;;
    *) echo "deps.sh: unknown set '$set'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
