#!/usr/bin/env bash
# Runs a display test under a private X server.
# Usage: display_test.sh <work dir> <time limit, seconds> <command...>
# Starts Xvfb on a free display number, runs the command with DISPLAY set and
# a time limit, then stops the server. A command run through Wine gets a Wine
# prefix of its own under <work dir> (copied once from the shared one), so that
# no other Wine process can reach this display. Exits 77 (skipped) when Xvfb
# is not installed.
set -u
work=$1 limit=$2
shift 2
if ! command -v Xvfb >/dev/null 2>&1; then
  echo "SKIPPED: Xvfb is not installed (apt-get install xvfb)"
  exit 77
fi
mkdir -p "$work"

xvfb=
wine_prefix=
cleanup() {
  if [ -n "$wine_prefix" ]; then WINEPREFIX=$wine_prefix wineserver -k >/dev/null 2>&1; fi
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
  fi
}
trap cleanup EXIT

# The first display number that is free and where our own server comes up;
# another test taking the same number at the same moment makes ours fail to
# start, and the next number is tried.
display=
for n in $(seq $((100 + $$ % 100)) 299); do
  [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] && continue
  Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do
    kill -0 "$xvfb" 2>/dev/null || break
    [ -e /tmp/.X11-unix/X$n ] && break
    sleep 0.1
  done
  if kill -0 "$xvfb" 2>/dev/null && [ -e /tmp/.X11-unix/X$n ]; then
    display=$n
    break
  fi
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  xvfb=
done
if [ -z "$display" ]; then
  echo "could not start Xvfb:"
  cat "$work/xvfb.log"
  exit 1
fi
export DISPLAY=:$display

case "$(basename "$1")" in
  wine-run|wine)
    wine_prefix=$work/wineprefix
    shared=${WINEPREFIX:-$(cd "$(dirname "$0")/../.." && pwd)/build/wineprefix}
    if [ ! -d "$wine_prefix" ]; then
      if [ -d "$shared" ]; then cp -a "$shared" "$wine_prefix.tmp" && mv "$wine_prefix.tmp" "$wine_prefix"; fi
    fi
    export WINEPREFIX=$wine_prefix
    # Tests may allow what Wine does not do (a blank browser pane).
    export RENEWEL_DISPLAY_UNDER_WINE=1
    ;;
esac

timeout -k 5 "$limit" "$@"
rc=$?
[ $rc -eq 124 ] && echo "display test ran out of its $limit s"
exit $rc
