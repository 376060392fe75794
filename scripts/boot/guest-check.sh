#!/bin/bash
# Runs once in the test image at boot (kip-boot-check.service) and reports one line per check on
# the console, then powers the guest off. The host reads the lines from the serial log.
# Booted with net.ifnames=0 (the interface is eth0), no KIPD_INTERFACE:
#   Phase 1: eth0 up without an address; the configuration daemon is reached at 127.0.0.1
#            through a virtio serial port (the only way in without IP).
#   Phase 2: eth0 gets 10.0.2.15/24, kipd is pointed at 10.0.2.100 (qemu's forwards to the host)
#            through /etc/default/kipd, and every check runs.
# Booted with kip.boot=names (Debian's interface naming): kipd is pointed at 10.0.2.100 without
# KIPD_INTERFACE, then at 10.0.2.101 with KIPD_INTERFACE set to the renamed interface. The host
# tells the two apart by the name each simulator saw.
CONSOLE=${CONSOLE:-/dev/ttyS0}
EXPECTED_DEVICE=@EXPECTED_DEVICE@
exec >"$CONSOLE" 2>&1
udevadm settle

report() { echo "KIPCHECK $1: $2"; }
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@" >/tmp/check.out 2>&1; then report ok "$name"; else report FAIL "$name"; sed 's/^/KIPCHECK   | /' /tmp/check.out | head -20; fi
}
retry() { local i; for i in $(seq 1 "$1"); do "${@:2}" && return 0; sleep 1; done; return 1; }

answers_has_system() { kipctl has-system | grep -q "belongs to a system"; }
lists_example_network() { kipctl --json devices | grep -q "$EXPECTED_DEVICE"; }
main_pid() { systemctl show -p MainPID --value kipd; }
restarts_after_segv() {
  local old new restart_sec
  old=$(main_pid); restart_sec=$(systemctl show -p RestartUSec --value kipd | tr -dc 0-9)
  kill -SEGV "$old"
  sleep "$restart_sec"; sleep 1  # RestartSec plus a second for the start itself
  new=$(main_pid)
  [ "$new" != 0 ] && [ "$new" != "$old" ] && systemctl is-active kipd
}
stop_simulator() { exec 3<>/dev/tcp/10.0.2.100/3999 && cat <&3 >/dev/null; exec 3<&-; }
errors_with_priority() {
  stop_simulator
  retry 10 sh -c 'journalctl -u kipd -p err -o cat --no-pager | grep "^LOG 2 "'
}
# kip-web's unit runs kipctl status before kip-web, in the same sandbox (a transient drop-in), so
# its journal shows whether that sandbox can read kipd's status socket.
page_answers() {
  mkdir -p /run/systemd/system/kip-web.service.d
  printf '[Service]\nExecStartPre=-/usr/bin/kipctl status --json\n' >/run/systemd/system/kip-web.service.d/status.conf
  systemctl daemon-reload
  systemctl enable --now kip-web || return 1
  retry 15 bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080 && printf "GET / HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n" >&3 && head -n 1 <&3 | grep -q " 200 "'
}
kip_web_reads_status() {
  retry 5 sh -c 'journalctl -u kip-web -o cat --no-pager | grep "\"schema\":1,"'
  local found=$?
  journalctl -u kip-web -o cat --no-pager | grep kipctl
  rm -r /run/systemd/system/kip-web.service.d && systemctl daemon-reload
  return $found
}

# The status as kipctl reads it; kipd may still be connecting.
status_json() { kipctl status --json; }
links_up() { kipctl status && kipctl status | grep -q "^configuration daemon $1 (direct, port 3973): connected for"; }
# A link refused at kipd's start (phase 1 starts its bridges after kipd) is opened again only by a
# request that needs it: the direct link by a search.
searched_links_up() { kipctl devices --quiet 1 >/dev/null; links_up "$1"; }
# kipd's memory limit in its status is the unit's MemoryMax, and its reclaim mark MemoryHigh.
status_reads_unit_limits() {
  local max high; max=$(systemctl show -p MemoryMax --value kipd); high=$(systemctl show -p MemoryHigh --value kipd)
  status_json | tee /dev/stderr | grep -q "\"limit_bytes\":$max,\"high_bytes\":$high}" &&
    kipctl status | grep "^memory: .* of the $((max / 1048576)) MiB limit (reclaim from $((high / 1048576)) MiB)"
}
# An address that cannot be resolved: the link's error is in the status, not in the journal.
point_kipd_unresolvable() { restarted_at=$(date +%s); point_kipd confd.invalid; }
resolve_error_in_status() { "$@" kipctl status --json | grep '"main":{"address":"confd.invalid",.*"last_error":"resolve: '; }
resolve_error_named() {
  local out code; out=$(kipctl status); code=$?; echo "$out (exit $code)"
  [ "$code" = 5 ] && grep -q '^configuration daemon confd.invalid (main, port 3972): down.*, last error .* ("resolve: ' <<<"$out"
}
resolve_not_logged() {
  journalctl -u kipd -o cat --no-pager --since "@$restarted_at" | grep -i "resolv" && return 1
  journalctl -u kipd -o cat --no-pager --since "@$restarted_at" | grep -q "Started kipd"
}
nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

# A drop-in that keeps port 3971 to localhost (and the configuration daemon at 10.0.2.100): a
# connection from the box's own 10.0.2.15 is served without it and dropped with it.
RESTRICT=/etc/systemd/system/kipd.service.d/restrict.conf
served_from() { kipctl --host "$1" --timeout 3 has-system | grep -q "belongs to a system"; }
restricted_by_drop_in() {
  served_from 10.0.2.15 || { echo "10.0.2.15 is not served without the drop-in"; return 1; }
  mkdir -p "$(dirname "$RESTRICT")"
  printf '[Service]\nIPAddressAllow=localhost 10.0.2.100\nIPAddressDeny=any\n' >"$RESTRICT"
  systemctl daemon-reload && systemctl restart kipd
  retry 30 served_from 127.0.0.1 || { echo "127.0.0.1 is not served under the drop-in"; return 1; }
  if kipctl --host 10.0.2.15 --timeout 3 has-system; then echo "10.0.2.15 is served under the drop-in"; return 1; fi
}
drop_in_removed() { rm "$RESTRICT" && systemctl daemon-reload && systemctl restart kipd && retry 30 served_from 10.0.2.15; }
removes_services() {
  dpkg -L kipd | sort >/tmp/kipd.files
  dpkg -r kipd && ! systemctl is-active kipd && ! systemctl is-active kip-web && ! pgrep -x kipd && [ ! -e /usr/bin/kipd ]
}
purge_leaves_nothing() {
  dpkg -P kipd || return 1
  local left=0 path
  while read -r path; do
    [ -d "$path" ] && continue
    if [ -e "$path" ]; then echo "left behind: $path"; left=1; fi
  done </tmp/kipd.files
  [ "$left" = 0 ] && [ ! -e /etc/default/kipd ]
}
# The shipped settings point kipd at 127.0.0.1 again, where nothing answers now: kipd itself must.
kipd_answers() { kipctl has-system 2>&1 | grep -q "belongs to a system\|Not connected to the configuration daemon"; }
reinstalls() { dpkg -i /root/kipd.deb && retry 10 systemctl is-active kipd && retry 10 kipd_answers; }

# point_kipd HOST [INTERFACE]: the operator's settings, then a restart.
point_kipd() {
  printf 'KIPD_CONFD_ADDRESS=%s\n' "$1" >/etc/default/kipd
  if [ -n "${2:-}" ]; then printf 'KIPD_INTERFACE=%s\n' "$2" >>/etc/default/kipd; fi
  systemctl restart kipd
}

check_naming() {
  check "Debian's naming: the interface is $iface and there is no eth0" \
    sh -c "[ $iface != eth0 ] && [ ! -e /sys/class/net/eth0 ]"
  ip addr add 10.0.2.15/24 dev "$iface"
  point_kipd 10.0.2.100
  check "without KIPD_INTERFACE: kipctl has-system answered" retry 30 answers_has_system
  point_kipd 10.0.2.101 "$iface"
  check "with KIPD_INTERFACE=$iface: kipctl has-system answered" retry 30 answers_has_system
}

check_eth0() {
  check "net.ifnames=0: the interface is eth0" test "$iface" = eth0
  # Phase 1: no address on eth0.
  systemd-run --unit=bridge-main socat TCP-LISTEN:3972,bind=127.0.0.1,reuseaddr,fork OPEN:/dev/virtio-ports/kip.main
  systemd-run --unit=bridge-direct socat TCP-LISTEN:3973,bind=127.0.0.1,reuseaddr,fork OPEN:/dev/virtio-ports/kip.direct
  check "$iface up without an IPv4 address" sh -c "! ip -4 addr show dev $iface | grep -q inet"
  check "systemctl is-active kipd" retry 20 systemctl is-active kipd
  check "without an address: kipctl has-system answered from 127.0.0.1" retry 30 answers_has_system
  check "without an address, after a search: kipctl status exits 0, both links to 127.0.0.1 connected" \
    retry 10 searched_links_up 127.0.0.1
  check "kipctl status shows the unit's MemoryMax and MemoryHigh as its limits" status_reads_unit_limits
  point_kipd_unresolvable
  check "unresolvable address: kipctl status --json shows the link's resolve error" retry 20 resolve_error_in_status
  check "unresolvable address: the same for an unprivileged user" resolve_error_in_status nobody
  check "unresolvable address: kipctl status exits 5 naming the link and its error" resolve_error_named
  check "unresolvable address: kipd's journal has no record of it" resolve_not_logged

  # Phase 2: an address, the operator's settings, a restart.
  systemctl stop bridge-main bridge-direct
  ip addr add 10.0.2.15/24 dev "$iface"
  point_kipd 10.0.2.100
  check "with an address and /etc/default/kipd: systemctl is-active kipd" retry 20 systemctl is-active kipd
  check "kipctl has-system lists the example network's system" retry 30 answers_has_system
  check "kipctl --json devices lists the example network" retry 30 lists_example_network
  check "kipctl status exits 0, both links to 10.0.2.100 connected" retry 10 links_up 10.0.2.100
  check "a drop-in with IPAddressAllow=localhost: 127.0.0.1 served, 10.0.2.15 not" restricted_by_drop_in
  check "the drop-in removed: 10.0.2.15 served again" drop_in_removed
  check "kill -SEGV: kipd restarted within RestartSec" restarts_after_segv
  check "kipctl answers after the restart" retry 30 answers_has_system
  check "simulator stopped: journalctl -u kipd -p err shows the daemon's errors" errors_with_priority
  check "systemctl enable --now kip-web: the page answers on 127.0.0.1:8080" page_answers
  check "kip-web's unit, in its sandbox, reads kipd's status socket" kip_web_reads_status
  check "dpkg -r stops and removes the services" removes_services
  check "dpkg -P leaves no file of the package" purge_leaves_nothing
  check "installing again works" reinstalls
}

iface=$(ls /sys/class/net | grep -vx lo | head -n 1)
report info "interface $iface, MAC $(cat /sys/class/net/"$iface"/address)"
ip link set lo up; ip link set "$iface" up
if grep -qw kip.boot=names /proc/cmdline; then check_naming; else check_eth0; fi
report done "all checks ran"
systemctl poweroff
