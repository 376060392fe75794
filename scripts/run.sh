#!/usr/bin/env bash
# Installs what is missing, builds kipd and runs it in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target kipd
exec build/kipd "$@"
