#!/bin/sh
# Makes the Wine prefix the tests run in, once, quietly, without a display,
# and starts the server that every Wine test then shares:
#   init_prefix.sh PREFIX        make the prefix if missing, start the server
#   init_prefix.sh PREFIX stop   stop the server and all it runs
# Gecko and Mono are not wanted (their installers would ask through a
# window). A server that lives only as long as one program would boot the
# whole session (services, devices, explorer) again for every run: a second
# under a native kernel, half a minute under qemu-i386. So one server, with
# its session, serves the whole run; it stops by itself once no program has
# used it for 15 minutes, should the stop never come.
set -eu
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY || true
wineserver -k 2>/dev/null || true
wineserver -w
[ "${2:-}" = stop ] && exit 0
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  if ! wineboot -i >"$prefix.log" 2>&1; then
    cat "$prefix.log" >&2
    echo "wineboot could not initialise $prefix" >&2
    exit 1
  fi
  wineserver -w
  test -f "$prefix/system.reg"
fi
# Away from the caller's output, which the server and the session outlive.
wineserver -p900 </dev/null >/dev/null 2>&1
if ! wine cmd /c exit 0 </dev/null >"$prefix.log" 2>&1; then
  cat "$prefix.log" >&2
  echo "wine could not start a program in $prefix" >&2
  exit 1
fi
