#!/usr/bin/env bash
# Installs the Debian packages that building and testing kipd needs, if any are missing, and
# those named as arguments: scripts/deps.sh [PACKAGE...]
set -euo pipefail
packages=(g++ clang libclang-rt-14-dev cmake make python3 libboost-dev libboost-system-dev libboost-thread-dev
          libboost-date-time-dev libgtest-dev libgmock-dev libbenchmark-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
