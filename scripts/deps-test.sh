#!/usr/bin/env bash
# Installs what the browser tests of kip-web need besides scripts/deps.sh: Debian's chromium,
# Node.js and npm when missing, and the pinned puppeteer-core of tests/web (never a browser).
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(chromium)
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
bash scripts/deps.sh "${packages[@]}"
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix tests/web --no-audit --no-fund --loglevel=error
