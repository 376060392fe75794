#!/usr/bin/env bash
# Installs what is missing, builds kipd and runs it in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DKIPD_TESTS=OFF
exec build/kipd "$@"
