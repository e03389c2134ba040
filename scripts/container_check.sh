#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The receiver's service under a running systemd: boots a Debian 12 container
# (mmdebstrap, systemd-nspawn) with the package installed, starts kelbosrx.service,
# sends to it from outside the container over a veth pair (a TCP link, a UDP link, and
# a transmitter killed while it sends), and checks what a user of the service sees: the
# service installed disabled and started by `systemctl enable --now`, the links counted
# in the metrics scraped over IPv4 and IPv6, the link messages in `journalctl -u
# kelbosrx`, no call denied or killed by the unit's restrictions, no complaint from Qt,
# a datagram buffer of at least 8 MiB, `systemctl stop` done within 1 s, starts that
# cannot succeed left "failed" (not restarted for ever); then the
# package's life cycle: a reinstallation restarts the service (a new main process), a
# removal leaves it inactive, a purge leaves no unit and no `wants` link.
# Takes a few minutes (the first run builds the image); not part of the test suite.
# Usage: bash scripts/container_check.sh [PACKAGE.deb]   (default: builds one with package.sh)
# The image and the runs' logs stay in $KELBOS_CONTAINER_DIR (default /var/tmp/kelbos-container).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KELBOS_CONTAINER_DIR:-/var/tmp/kelbos-container}
MACHINE=kelbosct
HOST_ADDRESS=192.0.2.1
CONTAINER_ADDRESS=192.0.2.2
HOST_ADDRESS6=2001:db8::1
CONTAINER_ADDRESS6=2001:db8::2

fail() { echo "container_check: $*" >&2; exit 1; }
trap 'echo "container_check: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
trap 'exit 1' INT TERM

if [ "${1:-}" != --inside ]; then
  "$root/scripts/deps.sh" build container
  deb=${1:-$(bash "$root/scripts/package.sh" | tail -n 1)}
  deb=$(realpath "$deb")
  mkdir -p "$dir"
  # The image: Debian 12 with systemd and the package's dependencies, so that the
  # package installs without a network. Made again when the dependencies change.
  depends=$(dpkg-deb --field "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | grep . | sort -u |
            paste -sd, -)
  include="systemd,systemd-sysv,dbus,iproute2,$depends"
  if [ ! -f "$dir/bookworm.tar" ] || [ "$(cat "$dir/bookworm.include" 2>/dev/null)" != "$include" ]; then
    echo "Building the Debian 12 image (a few minutes)..."
    mmdebstrap --variant=minbase --include="$include" bookworm "$dir/bookworm.tar" </dev/null >"$dir/mmdebstrap.log" 2>&1 ||
      fail "mmdebstrap failed; see $dir/mmdebstrap.log"
    echo "$include" >"$dir/bookworm.include"
  fi
  rootfs=$(mktemp -d "$dir/root.XXXXXX")
  trap 'rm -rf "$rootfs"' EXIT  # until the container's own run takes it over
  tar -C "$rootfs" -xf "$dir/bookworm.tar"
  cp "$deb" "$rootfs/root/kelbos.deb"  # the container gets a /tmp of its own
  systemd-nspawn -q -D "$rootfs" --register=no --keep-unit --private-network dpkg -i /root/kelbos.deb \
    >"$dir/install.log" 2>&1 || fail "dpkg -i failed in the container; see $dir/install.log"
  # The service with --json as well, so that its link lines and its exit line (with
  # the datagram buffer it got) reach the journal.
  mkdir -p "$rootfs/etc/systemd/system/kelbosrx.service.d"
  start=$(grep '^ExecStart=' "$rootfs/lib/systemd/system/kelbosrx.service" | cut -d= -f2-)
  printf '[Service]\nExecStart=\nExecStart=%s --json\n' "$start" \
    >"$rootfs/etc/systemd/system/kelbosrx.service.d/json.conf"
  # The transmitter runs outside the container, from the package's own build.
  tx=${KELBOSTX:-$(dirname "$deb")/transmitter/kelbostx}
  [ -x "$tx" ] || fail "no transmitter at $tx (set KELBOSTX)"
  # The host's side of the veth pair lives in a network namespace of this script's own.
  exec unshare --net bash "$0" --inside "$rootfs" "$tx" "$dir"
fi

rootfs=$2 tx=$3 dir=$4
ip link set lo up
# Booted with the console relayed through a pseudo-terminal: with --console=pipe (what
# nspawn picks when its standard input is not a terminal) the container has no
# /dev/console, and systemd as its first process prints nothing at all.
systemd-nspawn -D "$rootfs" --register=no --keep-unit -M "$MACHINE" --network-veth -b --console=read-only \
  </dev/null >"$dir/boot.log" 2>&1 &
nspawn=$!
stop_container() {
  # The service's journal, kept for a look afterwards however the run ended.
  [ -z "${leader:-}" ] || in_ct journalctl -u kelbosrx --no-pager -o short-precise >"$dir/journal.log" 2>&1 || true
  kill -TERM "$nspawn" 2>/dev/null || true  # nspawn asks the container's systemd to power off
  for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$nspawn" 2>/dev/null || true
}
trap 'stop_container; rm -rf "$rootfs"' EXIT

leader=
for _ in $(seq 300); do
  leader=$(ps -o pid= --ppid "$nspawn" | tr -d ' ' | head -n 1 || true)
  [ -n "$leader" ] && [ "$(readlink "/proc/$leader/exe" 2>/dev/null)" = /usr/lib/systemd/systemd ] && break
  leader=; sleep 0.1
done
[ -n "$leader" ] || fail "the container's systemd did not start; see $dir/boot.log"
in_ct() { nsenter -t "$leader" -m -u -i -n -p -C "$@"; }
state=
for _ in $(seq 300); do
  state=$(in_ct systemctl is-system-running 2>/dev/null || true)
  case $state in running|degraded) break ;; esac
  sleep 0.2
done
case $state in running|degraded) ;; *) fail "the container's systemd is '$state' after 60 s; see $dir/boot.log" ;; esac
echo "container booted: systemd is $state"
[ "$state" = running ] || in_ct systemctl --failed --no-pager --plain --no-legend | sed 's/^/  failed unit: /'

ip link set "ve-$MACHINE" up
ip address add "$HOST_ADDRESS/24" dev "ve-$MACHINE"
in_ct ip link set host0 up
in_ct ip address add "$CONTAINER_ADDRESS/24" dev host0
ip address add "$HOST_ADDRESS6/64" dev "ve-$MACHINE" nodad
in_ct ip address add "$CONTAINER_ADDRESS6/64" dev host0 nodad

enabled=$(in_ct systemctl is-enabled kelbosrx 2>/dev/null || true)
[ "$enabled" = disabled ] || fail "the service is '$enabled' after installation, not disabled"
in_ct systemctl enable --now kelbosrx 2>/dev/null
# The service's metrics page (its HTTP headers first), over IPv4 or, given
# CONTAINER_ADDRESS6, over IPv6.
metrics() {
  { exec 3<>"/dev/tcp/${1:-$CONTAINER_ADDRESS}/9464"; } 2>/dev/null || return 1
  printf 'GET /metrics HTTP/1.0\r\nHost: kelbos\r\n\r\n' >&3
  timeout 5 cat <&3 | tr -d '\r'
  exec 3<&-
}
for _ in $(seq 100); do metrics >/dev/null && break; sleep 0.1; done
metrics | grep -q '^kelbos_received_all_bytes_total 0$' || fail "no metrics scraped from the service"
metrics "$CONTAINER_ADDRESS6" | grep -q '^kelbos_build_info{version=' || fail "no metrics scraped over IPv6"
echo "service installed disabled, enabled and started; metrics scraped from $CONTAINER_ADDRESS:9464 and [$CONTAINER_ADDRESS6]:9464"

export QT_QPA_PLATFORM=offscreen
send() { "$tx" --headless --json --go --receiver "$CONTAINER_ADDRESS" "$@" "$root/scenes/kelbostx.init"; }
tcp_bytes=$(send --transport tcp --time 3 | sed -n 's/^{"event":"end".*"bytes":\([0-9]*\).*/\1/p')
send --transport udp --time 3 --delay 1 >/dev/null
"$tx" --headless --go --receiver "$CONTAINER_ADDRESS" --transport tcp --time 60 --delay 5 \
  "$root/scenes/kelbostx.init" >/dev/null &
doomed=$!
# Killed once its link (the third) is on show.
for _ in $(seq 300); do metrics | grep -q '^kelbos_received_bytes_total{conn_id="3"' && break; sleep 0.1; done
echo "$(date +%T.%N) killing the transmitter $doomed: $(metrics | grep '^kelbos_links{' | paste -sd' ' -)" >>"$dir/steps.log"
kill -KILL "$doomed"
wait "$doomed" 2>/dev/null || true
[ -n "$tcp_bytes" ] || fail "the TCP transmitter reported no end"

# The killed transmitter's link ends too (its system closes the connection).
ended= count=0
for _ in $(seq 300); do
  ended=$(metrics | sed -n 's/^kelbos_links_ended_total{reason="\([0-9]\)"} \([0-9]*\)$/\1:\2/p' | paste -sd' ' - || true)
  count=$(tr ' ' '\n' <<<"$ended" | awk -F: '{s += $2} END {print s + 0}')
  [ "$count" = 3 ] && break
  sleep 0.1
done
[ "$count" = 3 ] || fail "links ended, by reason: '$ended', not three"
total=$(metrics | sed -n 's/^kelbos_received_all_bytes_total \([0-9]*\)$/\1/p')
[ "$total" -gt "$tcp_bytes" ] || fail "the TOTAL row's $total bytes are not more than the TCP link's $tcp_bytes"
echo "three links counted: TOTAL $total bytes (the TCP link alone $tcp_bytes); ended by reason: $ended"

started=$(date +%s%N)
in_ct systemctl stop kelbosrx
stop_ms=$(( ($(date +%s%N) - started) / 1000000 ))
[ "$stop_ms" -le 1000 ] || fail "systemctl stop took $stop_ms ms"
echo "systemctl stop took $stop_ms ms"

journal=$(in_ct journalctl -u kelbosrx --no-pager -o short-precise)
printf '%s\n' "$journal" >"$dir/journal.log"
links=$(grep -c '"event":"link_end"' <<<"$journal" || true)
[ "$links" -eq 3 ] || fail "the journal shows $links link ends, not 3; see $dir/journal.log"
if grep -q '"reason":2' <<<"$journal"; then
  grep -q 'failed' <<<"$journal" || fail "the journal shows no message for the failed link"
fi
if grep -Eiq 'status=31|SIGSYS|code=killed|core-dump|Operation not permitted|Permission denied|QStandardPaths|qt\.' <<<"$journal"; then
  grep -Ei 'status=31|SIGSYS|code=killed|core-dump|Operation not permitted|Permission denied|QStandardPaths|qt\.' \
    <<<"$journal" | sed 's/^/  /' >&2
  fail "the journal shows denied calls or complaints; see $dir/journal.log"
fi
buffer=$(sed -n 's/.*"udp_receive_buffer":\([0-9-]*\).*/\1/p' <<<"$journal" | tail -n 1)
ceiling=$(cat /proc/sys/net/core/rmem_max)
echo "journal: 3 link ends, nothing denied; udp_receive_buffer $buffer" \
     "(the host's net.core.rmem_max: $ceiling)"
[ "${buffer:-0}" -ge 8388608 ] || fail "the service's datagram buffer is $buffer bytes, under 8 MiB"

# Starts that cannot succeed end "failed", their message in the journal: a bad option
# (status 2) at once, without a restart; a scene that cannot be read (status 1) once
# three starts within a minute have failed.
fails_with() {  # the receiver's words, the Result systemd gives, the restarts it counted
  printf '[Service]\nExecStart=\nExecStart=/usr/bin/kelbosrx --headless %s\n' "$1" \
    >"$rootfs/etc/systemd/system/kelbosrx.service.d/zz-failing.conf"
  in_ct systemctl daemon-reload
  in_ct systemctl start kelbosrx 2>/dev/null || true
  local shown=
  for _ in $(seq 300); do
    shown=$(for p in ActiveState Result NRestarts; do in_ct systemctl show -P "$p" kelbosrx; done | paste -sd' ' -)
    [ "$shown" = "failed $2 $3" ] && break
    sleep 0.1
  done
  [ "$shown" = "failed $2 $3" ] || fail "kelbosrx $1: '$shown', not 'failed $2 $3'"
  in_ct systemctl reset-failed kelbosrx
}
fails_with --no-such-option exit-code 0
# Three runs, the third restart refused ("Start request repeated too quickly").
fails_with /nonexistent.init exit-code 3
in_ct journalctl -u kelbosrx --no-pager | grep -q "Unable to open init file" || fail "no message for the missing scene"
in_ct journalctl -u kelbosrx --no-pager | grep -q "repeated too quickly" || fail "the start limit did not stop the restarts"
rm "$rootfs/etc/systemd/system/kelbosrx.service.d/zz-failing.conf"
in_ct systemctl daemon-reload
echo "a bad option and a missing scene: the unit failed, after 1 and 3 runs"

# The package's life cycle under the running systemd.
main_pid() { in_ct systemctl show -P MainPID kelbosrx; }
in_ct systemctl start kelbosrx
before=$(main_pid)
in_ct dpkg -i /root/kelbos.deb >>"$dir/install.log" 2>&1 || fail "reinstalling failed; see $dir/install.log"
after=$(main_pid)
[ "$before" != 0 ] && [ "$after" != 0 ] && [ "$before" != "$after" ] ||
  fail "the reinstallation did not restart the service (main process $before, then $after)"
in_ct dpkg -r kelbos >>"$dir/install.log" 2>&1 || fail "removing failed; see $dir/install.log"
active=$(in_ct systemctl is-active kelbosrx 2>/dev/null || true)
[ "$active" = inactive ] || fail "the service is '$active' after the removal"
in_ct dpkg -P kelbos >>"$dir/install.log" 2>&1 || fail "purging failed; see $dir/install.log"
wants=$rootfs/etc/systemd/system/multi-user.target.wants/kelbosrx.service
[ ! -e "$rootfs/lib/systemd/system/kelbosrx.service" ] && [ ! -L "$wants" ] ||
  fail "the purge left the unit or its wants link"
[ -z "$(in_ct systemctl list-unit-files --no-legend kelbosrx.service)" ] || fail "systemd still lists the unit"
echo "reinstalled: main process $before, then $after; removed: $active; purged: no unit, no wants link"
echo "container_check: passed"
