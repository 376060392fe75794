#!/usr/bin/env bash
# The main job: installs what is missing, builds kipd, kipctl and kip-web, starts the
# configuration-daemon simulator with the example network, kipd against it and kip-web in front
# of kipd, shows the network with kipctl, and keeps them running in the foreground until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target kipd kipctl kip-web

network=${KIPD_NETWORK:-examples/network.json}
simulator_log=build/kip-confd-sim.log
pids=()
cleanup() {
  trap - EXIT INT TERM
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
  wait 2>/dev/null
  echo "kipd, kip-web and the simulator stopped."
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits until the last program started has written WORD to LOG, or shows LOG if it ended.
wait_for_log() {
  for _ in $(seq 100); do
    grep -q "$2" "$1" && return
    kill -0 "${pids[-1]}" 2>/dev/null || { cat "$1" >&2; exit 1; }
    sleep 0.1
  done
}

python3 tools/kip-confd-sim --network "$network" --verbose >"$simulator_log" 2>&1 &
pids+=($!)
wait_for_log "$simulator_log" 'listening on'
echo "Simulator of the configuration daemon and of the network of $network (messages: $simulator_log)"

KIPD_STATUS_SOCKET="$PWD/build/kipd-status" build/kipd &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/3971) 2>/dev/null && break
  sleep 0.1
done
echo "kipd: serving configuration clients on port 3971, its status on build/kipd-status (kipd(8), STATUS)"

web_log=build/kip-web.log
build/kip-web --kipd-status build/kipd-status >"$web_log" 2>&1 &
pids+=($!)
wait_for_log "$web_log" 'serving'
echo "kip-web: open http://127.0.0.1:8080/ in a browser to see and change the system (metrics: /metrics)"
echo

show() { echo "\$ kipctl $*"; build/kipctl "$@" || true; echo; }
show has-system
show ip-settings
show devices
show corvanets

echo "kipd, kip-web and the simulator keep running: open http://127.0.0.1:8080/ or try"
echo "build/kipctl --help. Ctrl-C stops them."
wait "${pids[1]}"
