#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package kelbos_<version>_amd64.deb: installs what is missing, makes
# a Release build without tests in build-package/ (or in $KELBOS_PACKAGE_DIR), runs
# CPack, checks the desktop entries inside the package with desktop-file-validate and
# the manual pages with man, that it holds the licence, the README, the Prometheus rules
# with their tests, the Grafana dashboard, the buffer ceiling's sysctl file and the
# service's maintainer scripts, has lintian find no error, no warning and no hardening
# tag, and prints the package path. Built with Debian's hardening flags.
# Install it with: apt-get install ./build-package/kelbos_*_amd64.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KELBOS_PACKAGE_DIR:-$root/build-package}
"$root/scripts/deps.sh" build package

# Debian's hardening flags, all of them: fortified functions, the stack protector, PIE,
# read-only relocations bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKELBOS_BUILD_TESTS=OFF -DKELBOS_WERROR=ON \
  -DKELBOS_SYSTEMD_UNIT_DIR=/lib/systemd/system \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/kelbos_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$dir"/kelbos_*_amd64.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "package.sh: cpack made no kelbos_*_amd64.deb in $dir" >&2; exit 1; }

# Check the entries as the package ships them: valid, and starting their program with
# the scene where the package puts it.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
[ -f "$unpacked/usr/share/kelbos/kelbostx.init" ] || { echo "package.sh: the package lacks the scene" >&2; exit 1; }
for program in kelbostx kelbosrx; do
  entry=$unpacked/usr/share/applications/$program.desktop
  [ -f "$entry" ] || { echo "package.sh: the package lacks $program.desktop" >&2; exit 1; }
  desktop-file-validate "$entry"
  grep -qx "Exec=$program /usr/share/kelbos/kelbostx.init" "$entry" ||
    { echo "package.sh: $program.desktop: $(grep ^Exec= "$entry")" >&2; exit 1; }
done

# The licence: the copyright file in Debian's machine-readable format names Apache-2.0
# for every file and points at the licence's text as Debian ships it, which is the
# text of LICENSE.
copyright=$unpacked/usr/share/doc/kelbos/copyright
grep -qx "License: Apache-2.0" "$copyright" && grep -q "/usr/share/common-licenses/Apache-2.0" "$copyright" &&
  cmp -s /usr/share/common-licenses/Apache-2.0 "$root/LICENSE" ||
  { echo "package.sh: the copyright file does not name the Apache License 2.0 as LICENSE holds it" >&2; exit 1; }

# What a Prometheus server and Grafana need, and the buffer ceiling with its postinst.
for file in usr/share/kelbos/prometheus/kelbos.rules.yml usr/share/kelbos/prometheus/kelbos.rules.test.yml \
            usr/share/kelbos/grafana/kelbos-receivers.json usr/lib/sysctl.d/50-kelbos.conf \
            usr/share/doc/kelbos/README.md usr/share/doc/kelbos/fleet-rates.svg; do
  [ -f "$unpacked/$file" ] || { echo "package.sh: the package lacks /$file" >&2; exit 1; }
done
if command -v promtool >/dev/null; then
  promtool test rules "$unpacked/usr/share/kelbos/prometheus/kelbos.rules.test.yml" >/dev/null ||
    { echo "package.sh: the packaged rules fail their tests" >&2; exit 1; }
fi
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
for script in postinst prerm postrm; do
  grep -qx "./$script" <<<"$control" ||
    { echo "package.sh: the package has no $script" >&2; exit 1; }
done

# `man NAME` finds each program's page where the package puts it.
for program in kelbostx kelbosrx; do
  MANPAGER=cat man -M "$unpacked/usr/share/man" "$program" | grep -q "^NAME" ||
    { echo "package.sh: man $program shows no page" >&2; exit 1; }
done

# Debian's checks: no error, no warning and no hardening tag (the hardening tags are
# informational, shown with -I; other informational notes are allowed).
lintian_out=$(lintian -I --fail-on error,warning "$deb") ||
  { echo "$lintian_out" >&2; echo "package.sh: lintian found errors or warnings in $deb" >&2; exit 1; }
[ -z "$lintian_out" ] || echo "$lintian_out" >&2
! grep -q hardening <<<"$lintian_out" || { echo "package.sh: lintian found the hardening incomplete" >&2; exit 1; }

dpkg-deb --field "$deb" Package Version Architecture Depends Suggests >&2
echo "$deb"
