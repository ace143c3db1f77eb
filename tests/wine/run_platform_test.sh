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
# A link on the way for the test to refuse: nothing may reach "elsewhere".
mkdir elsewhere
ln -s elsewhere ab
wine "$exe"
if [ -n "$(ls -A elsewhere)" ]; then
  echo "written through the planted link: $(ls -A elsewhere)" >&2
  exit 1
fi
times=$(stat -c '%Y %X' timed.txt)
if [ "$times" != "1000000000 1234567890" ]; then
  echo "timed.txt: write and access times are '$times', expected '1000000000 1234567890'" >&2
  exit 1
fi

# Control events held off: the Ctrl+C that comes while the hold lasts runs the
# handler only after the release, and the main thread goes no further.
wine "$exe" hold >hold.out &
pid=$!
waited=0
while ! grep -q held hold.out 2>/dev/null && [ $waited -lt 300 ]; do
  sleep 0.1
  waited=$((waited + 1))
done
kill -INT $pid
status=0
wait $pid || status=$?
# The test's own printf writes CR LF line ends.
printf 'held\r\nreleasing\r\nhandler 0\r\n' >hold.expected
if [ $status -ne 5 ] || ! cmp -s hold.out hold.expected; then
  echo "hold mode: status $status, output:" >&2
  cat hold.out >&2
  exit 1
fi
