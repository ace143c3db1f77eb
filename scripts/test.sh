#!/usr/bin/env bash
# Builds everything (the Linux programs, the 32-bit Windows stub and the
# aarch64 Linux stub) and runs every test: unit, end-to-end on Linux, under
# Wine and under qemu-user; then builds the .deb and checks it unpacked in a
# scratch root, from its own files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$root/scripts/deps.sh"

cmake -S "$root" -B "$root/build-win32" -DCMAKE_BUILD_TYPE=MinSizeRel -DZQ_STUB_ONLY=ON \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" >/dev/null
cmake --build "$root/build-win32" -j"$jobs"

cmake -S "$root" -B "$root/build-aarch64" -DCMAKE_BUILD_TYPE=MinSizeRel -DZQ_STUB_ONLY=ON \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-aarch64-linux-gnu.cmake" >/dev/null
cmake --build "$root/build-aarch64" -j"$jobs" --target zqsfx

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release \
      -DZQ_WIN32_STUB="$root/build-win32/zqsfx.exe" -DZQ_AARCH64_STUB="$root/build-aarch64/zqsfx" >/dev/null
cmake --build "$root/build" -j"$jobs"
ctest --test-dir "$root/build" --output-on-failure -j"$jobs"

echo "=== the .deb, unpacked in a scratch root and used from there"
(cd "$root/build" && rm -rf package && cpack -G DEB >/dev/null)
deb=$(ls "$root"/build/package/zqsfx_*.deb)
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Architecture|Depends):'
rm -rf "$root/out/deb-root" && mkdir -p "$root/out/deb-root"
dpkg-deb -x "$deb" "$root/out/deb-root"
"$root/scripts/check_installed.sh" "$root/out/deb-root/usr" "$root/out/deb-check" /usr
