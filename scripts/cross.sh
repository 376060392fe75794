#!/usr/bin/env bash
# Cross-builds the Debian package for another processor with Debian's cross toolchain and
# multiarch libraries, and runs the unit tests of that build under qemu user emulation:
#   scripts/cross.sh ARCH        (ARCH: arm64, armhf, ...)
# Installs what is missing first (as root). The package lands in build-cross-ARCH/.
set -euo pipefail
arch=${1:?usage: scripts/cross.sh ARCH (e.g. arm64 or armhf)}
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  dpkg --add-architecture "$arch"
  apt-get update -qq
fi
bash scripts/deps.sh debhelper "crossbuild-essential-$arch" qemu-user-static
if ! dpkg-checkbuilddeps -a "$arch" >/dev/null 2>&1; then
  apt-get update -qq
  apt-get build-dep -y -qq -a "$arch" ./
fi

out=build-cross-$arch
echo "Cross-building for $arch (log: $out/build.log)..."
# The tests are the point of this build, whatever DEB_BUILD_OPTIONS says.
options=${DEB_BUILD_OPTIONS:-}
DEB_BUILD_OPTIONS=${options//nocheck/} bash scripts/debbuild.sh "$out" -a"$arch"

deb=$(ls "$out"/kipd_*_"$arch".deb)
summary=$(grep -E '^[0-9]+% tests passed' "$out/build.log" | tail -n 1)
emulator=$(grep -o -m 1 "CMAKE_CROSSCOMPILING_EMULATOR=[^ ]*" "$out/build.log" | cut -d= -f2)
[ -n "$summary" ] || { echo "the unit tests did not run; see $out/build.log" >&2; exit 1; }
dpkg-deb -x "$deb" "$out/root"
size=$(stat -c %s "$out/root/usr/bin/kipd")
rm -rf "$out/root"
echo "Package: $(realpath "$deb") (Architecture: $(dpkg-deb -f "$deb" Architecture))"
echo "kipd for $arch: $size bytes, stripped"
echo "Unit tests of the $arch build under ${emulator##*/}: $summary"
