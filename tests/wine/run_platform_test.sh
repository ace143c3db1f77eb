#!/bin/sh
# Runs the Win32 platform test under Wine in an empty scratch directory, then
# checks from the Linux side what the test cannot see from inside: the write
# and access times it set (creation time has no Linux counterpart).
#   run_platform_test.sh TEST_EXE SCRATCH_DIR
set -eu
exe=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"
wine "$exe"
times=$(stat -c '%Y %X' timed.txt)
if [ "$times" != "1000000000 1234567890" ]; then
  echo "timed.txt: write and access times are '$times', expected '1000000000 1234567890'" >&2
  exit 1
fi
