#!/usr/bin/env bash
# Builds everything (the Linux programs, the 32-bit Windows stub and the
# aarch64 Linux stub) and runs every test: unit, end-to-end on Linux, under
# Wine and under qemu-user; then builds the .deb and checks it unpacked in a
# scratch root, from its own files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$root/scripts/deps.sh"

cd "$root"  # the named configurations of CMakePresets.json
cmake --preset win32-stub >/dev/null
cmake --build --preset win32-stub -j"$jobs"

cmake --preset aarch64-stub >/dev/null
cmake --build --preset aarch64-stub -j"$jobs"

cmake --preset host -DZQ_WIN32_STUB="$root/build-win32/zqsfx.exe" \
      -DZQ_AARCH64_STUB="$root/build-aarch64/zqsfx" >/dev/null
cmake --build --preset host -j"$jobs"
ctest --preset host -j"$jobs"

echo "=== the .deb, unpacked in a scratch root and used from there"
(cd "$root/build" && rm -rf package && cpack -G DEB >/dev/null)
deb=$(ls "$root"/build/package/zqsfx_*.deb)
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Architecture|Depends):'
rm -rf "$root/out/deb-root" && mkdir -p "$root/out/deb-root"
dpkg-deb -x "$deb" "$root/out/deb-root"
"$root/scripts/check_installed.sh" "$root/out/deb-root/usr" "$root/out/deb-check" /usr
