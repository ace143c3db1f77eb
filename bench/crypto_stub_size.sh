#!/bin/sh
# What the decrypting side of the primitives (aead_open, scrypt, wipe) adds
# to a program built as the Windows stub is: -Os, link-time optimisation,
# unused sections dropped, no C runtime. Links a bare entry point twice,
# without and with calls to them, and prints both sizes and the difference
# in code and constants.
#   bench/crypto_stub_size.sh
# Needs i686-w64-mingw32-g++ (scripts/deps.sh installs mingw-w64).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/probe.cpp" <<'PROBE'
#include "crypto/crypto.h"
extern "C" __declspec(dllimport) void __stdcall ExitProcess(unsigned);
volatile uint32_t knob = 14;  // keeps every argument unknown to the compiler
uint8_t buffer[4096];
extern "C" void zq_entry() {
    unsigned result = 0;
#ifdef WITH_CRYPTO
    uint8_t key[32], tag[16] = {};
    static uint64_t work[(1 << 14) * 16 + 64];
    result |= zq::crypto::scrypt(buffer, knob, buffer + 64, knob, knob, 8, 1, work, sizeof work,
                                 key, 32);
    result |= zq::crypto::aead_open(key, buffer, buffer + 100, knob, buffer + 200, knob, tag,
                                    buffer + 1000);
    zq::crypto::wipe(key, sizeof key);
#endif
    ExitProcess(result + buffer[knob]);
}
PROBE
options="-std=c++17 -Os -fomit-frame-pointer -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics -fno-stack-protector
  -fno-ident -ffunction-sections -fmerge-all-constants -mpreferred-stack-boundary=2 -flto
  -malign-data=abi -fno-inline-small-functions -fno-tree-loop-optimize -fno-tree-dominator-opts"
for variant in without with; do
  define=
  [ $variant = with ] && define=-DWITH_CRYPTO
  # shellcheck disable=SC2086
  i686-w64-mingw32-g++ $options $define -I"$here/src" "$work/probe.cpp" "$here"/src/crypto/*.cpp \
    "$here/src/stub/win32_runtime.cpp" -nostdlib -nostartfiles -Wl,-e,_zq_entry \
    -Wl,--subsystem,console -Wl,--gc-sections -s -o "$work/$variant.exe" -lkernel32
done
i686-w64-mingw32-size "$work/without.exe" "$work/with.exe"
without=$(i686-w64-mingw32-size "$work/without.exe" | awk 'NR == 2 { print $1 }')
with=$(i686-w64-mingw32-size "$work/with.exe" | awk 'NR == 2 { print $1 }')
echo "aead_open + scrypt + wipe: $((with - without)) bytes of code and constants"
