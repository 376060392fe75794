#!/usr/bin/env bash
# Builds the native Debian package (its unit tests are left to the test command), fails on any
# lintian error or warning, and checks the systemd units: `systemd-analyze verify` clean and an
# exposure rating of 2.0 or below. The package lands in build-deb/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh debhelper lintian systemd man-db

version=$(dpkg-parsechangelog -S Version)
cmake_version=$(sed -n 's/^project(kipd VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$version" != "$cmake_version" ]; then
  echo "debian/changelog says $version but CMakeLists.txt says $cmake_version" >&2
  exit 1
fi

DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" bash scripts/debbuild.sh build-deb -Pnocheck
deb=build-deb/kipd_${version}_$(dpkg --print-architecture).deb
lintian --fail-on error,warning build-deb/kipd_"${version}"_*.changes

root=build-deb/root
dpkg-deb -x "$deb" "$root"
for path in usr/bin/kipd usr/bin/kipctl usr/bin/kip-web lib/systemd/system/kipd.service \
            lib/systemd/system/kip-web.service usr/share/man/man8/kipd.8.gz usr/share/man/man1/kipctl.1.gz \
            usr/share/man/man1/kip-web.1.gz usr/share/bash-completion/completions/kipctl etc/default/kipd; do
  [ -e "$root/$path" ] || { echo "the package lacks /$path" >&2; exit 1; }
done
# Verify the units as installed, their programs and manual pages taken from the unpacked package.
for unit in kipd kip-web; do
  sed "s|=/usr/bin/|=$PWD/$root/usr/bin/|" "$root/lib/systemd/system/$unit.service" >"build-deb/$unit.service"
  MANPATH=$root/usr/share/man systemd-analyze verify "build-deb/$unit.service"
  systemd-analyze security --offline=true --threshold=20 "build-deb/$unit.service" | tail -n 1
done
echo "Package: $(realpath "$deb"): lintian clean, unit verified"
