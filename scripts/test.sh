#!/usr/bin/env bash
# Installs what is missing (with chromium and puppeteer-core for kip-web's page), builds kipd and
# runs every test three times: in the normal build, under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer; then runs each fuzz target for a
# bounded time; last builds the Debian package and checks it with lintian and the systemd units'
# exposure rating (scripts/package.sh), installs it in a Debian image and boots that under qemu
# (scripts/boot-test.sh amd64).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/deps-test.sh
bash scripts/build.sh build -DKIPD_TESTS=ON
bash scripts/build.sh build-asan -DKIPD_TESTS=ON -DKIPD_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
bash scripts/build.sh build-tsan -DKIPD_TESTS=ON -DKIPD_TSAN=ON -DCMAKE_BUILD_TYPE=Debug
CXX=clang++ bash scripts/build.sh build-fuzz -DKIPD_FUZZ=ON -DKIPD_TESTS=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
status=0
for tree in build build-asan build-tsan build-fuzz; do
  echo "== tests ($tree) =="
  (cd "$tree" && ctest --output-on-failure -j 2) || status=1
done
echo "== Debian package =="
if bash scripts/package.sh; then
  echo "== boot test (amd64) =="
  bash scripts/boot-test.sh amd64 || status=1
else
  status=1
fi
exit $status
