#!/usr/bin/env bash
# Installs what is missing, builds kipd and runs every test: once in the normal build,
# once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DKIPD_TESTS=ON
bash scripts/build.sh build-asan -DKIPD_TESTS=ON -DKIPD_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
echo "== tests (build) =="
(cd build && ctest --output-on-failure -j 2) || status=1
echo "== tests (build-asan) =="
(cd build-asan && ctest --output-on-failure -j 2) || status=1
exit $status
