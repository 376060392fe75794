#!/usr/bin/env bash
# Installs what kip-web's tests need besides scripts/deps.sh: Debian's chromium, Node.js and npm
# when missing, and the pinned puppeteer-core of tests/web (never a browser) for the page; the
# prometheus package for promtool, which checks /metrics (under systemd the package also enables
# its own server on port 9090: `systemctl disable --now prometheus` where it is not wanted).
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(chromium prometheus)
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
bash scripts/deps.sh "${packages[@]}"
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix tests/web --no-audit --no-fund --loglevel=error
