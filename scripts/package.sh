#!/usr/bin/env bash
# Builds the Debian package (CPack's DEB generator, from the same install rules as
# `cmake --install`) in build-deb/, checks it with lintian and prints what it holds.
# Installs what is missing first, like the other scripts.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
# dpkg-dev: dpkg-shlibdeps (the package's library dependencies) and dpkg-buildflags;
# file: how CPack finds the programs to hand to dpkg-shlibdeps; lintian: the check.
install_missing_packages dpkg-dev file lintian

build=build-deb
jobs=2

# Debian's hardening and optimisation flags, as any package of the archive is built.
# CMake reads no CPPFLAGS, so they go with the compiler flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS

echo "== build"
rm -f "$build"/cassasync_*.deb
# A fresh cache: flags or a prefix from an earlier configure must not linger.
rm -f "$build"/CMakeCache.txt
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
      -DCASSASYNC_BUILD_TESTS=OFF -DCASSASYNC_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs"

echo "== package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/cassasync_*.deb)
echo "$deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
echo "-- contents"
dpkg-deb --contents "$deb"

echo "== lintian"
# Errors fail the script; the warnings that stay are listed, with why, in the README.
lintian --fail-on error --info "$deb"
echo "lintian: no errors"
echo
echo "Install with: sudo apt install ./$deb"
