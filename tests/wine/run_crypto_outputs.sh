#!/bin/sh
# The primitives as the Windows stub compiles them must print, under Wine,
# exactly the lines of the host's build, which crypto_tests holds to
# libsodium and hashlib.
#   run_crypto_outputs.sh HOST_EXE WINDOWS_EXE SCRATCH_DIR
set -eu
rm -rf "$3"
mkdir -p "$3"
"$1" >"$3/host.txt"
wine "$2" >"$3/windows.raw"
tr -d '\r' <"$3/windows.raw" >"$3/windows.txt"
test -s "$3/host.txt"
diff "$3/host.txt" "$3/windows.txt"
