#!/bin/sh
# Creates the Wine prefix the tests run in, once, quietly, without a display:
#   init_prefix.sh PREFIX
# Gecko and Mono are not wanted (their installers would ask through a
# window), and the server is waited for so the next test finds it settled.
set -eu
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY || true
if [ -f "$prefix/system.reg" ]; then
  exit 0
fi
mkdir -p "$prefix"
if ! wineboot -i >"$prefix.log" 2>&1; then
  cat "$prefix.log" >&2
  echo "wineboot could not initialise $prefix" >&2
  exit 1
fi
wineserver -w
test -f "$prefix/system.reg"
