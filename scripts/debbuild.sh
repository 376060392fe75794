#!/usr/bin/env bash
# Builds the Debian package from a copy of the source tree, so that the work tree stays clean and
# the results land in one folder: scripts/debbuild.sh DIR [dpkg-buildpackage options...]
# Leaves DIR/*.deb, DIR/*.changes and the build log DIR/build.log.
set -euo pipefail
dir=$(realpath -m "$1"); shift
cd "$(dirname "$0")/.."
rm -rf "$dir"
mkdir -p "$dir/src"
tar -c --exclude=./.git --exclude='./build*' --exclude='./obj-*' --exclude=__pycache__ \
    --exclude=./debian/.debhelper --exclude=./debian/kipd --exclude=./debian/tmp . | tar -x -C "$dir/src"
if ! (cd "$dir/src" && dpkg-buildpackage -us -uc -b "$@") >"$dir/build.log" 2>&1; then
  tail -n 60 "$dir/build.log" >&2
  echo "dpkg-buildpackage failed; the whole log is $dir/build.log" >&2
  exit 1
fi
rm -rf "$dir/src"
