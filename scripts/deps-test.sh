#!/usr/bin/env bash
# Installs what the browser tests of kip-web need besides scripts/deps.sh: Debian's chromium,
# Node.js and npm when missing, and the pinned puppeteer-core of tests/web (never a browser).
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(chromium)
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
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
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix tests/web --no-audit --no-fund --loglevel=error
