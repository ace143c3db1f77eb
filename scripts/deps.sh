#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test zqsfx: the host
# toolchain, GoogleTest and CLI11, musl for the static Linux stub, zlib and
# zip/unzip and gnuplot for the benchmarks, clang's runtime for the fuzzers, mingw-w64 +
# 32-bit Wine for the Windows stub, the aarch64 cross toolchain + qemu-user for
# the aarch64 stub, file, man-db and dpkg-dev for the package checks, and clang-format for the
# source style check.
set -euo pipefail

# The Wine tests of Japanese names run under LC_ALL=ja_JP.UTF-8, which gives
# Wine the ANSI code page 932; without the generated locale Wine cannot create
# two-byte-named folders at all.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  dpkg-query -W -f='${Status}' locales 2>/dev/null | grep -q 'install ok installed' ||
    { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq locales >/dev/null; }
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen ja_JP.UTF-8 >/dev/null
fi
need=(cmake g++ make pkg-config libgtest-dev zlib1g-dev libcli11-dev musl-tools
      zip unzip time gnuplot-nox clang libclang-rt-14-dev mingw-w64 wine wine32
      g++-aarch64-linux-gnu qemu-user file man-db dpkg-dev clang-format)
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
