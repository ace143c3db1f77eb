#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test zqsfx: the host
# toolchain and test libraries, CLI11, zip/unzip and gnuplot for the benchmarks, clang's
# runtime for the fuzzers, and mingw-w64 + 32-bit Wine for the Windows stub.
set -euo pipefail
need=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev libcli11-dev
      zip unzip time gnuplot-nox clang libclang-rt-14-dev mingw-w64 wine wine32)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
