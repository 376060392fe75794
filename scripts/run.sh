#!/usr/bin/env bash
# Installs what is missing, builds kipd, starts the configuration-daemon simulator with the
# example network and runs kipd against it in the foreground. Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target kipd

ready=$(mktemp)
python3 tools/kip-confd-sim --network "${KIPD_NETWORK:-examples/network.json}" --verbose >"$ready" &
simulator=$!
trap 'kill "$simulator" 2>/dev/null; wait "$simulator" 2>/dev/null; rm -f "$ready"' EXIT
for _ in $(seq 100); do
  grep -q 'listening on' "$ready" && break
  kill -0 "$simulator" 2>/dev/null || { cat "$ready"; echo "the simulator did not start" >&2; exit 1; }
  sleep 0.1
done
cat "$ready"
echo "kipd: serving configuration clients on port 3971 (Ctrl-C stops)"
build/kipd "$@" &
daemon=$!
trap 'kill "$daemon" "$simulator" 2>/dev/null; wait 2>/dev/null; rm -f "$ready"' EXIT INT TERM
wait "$daemon"
