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

display=
for n in $(seq $((100 + $$ % 100)) 299); do
  if [ ! -e /tmp/.X$n-lock ] && [ ! -e /tmp/.X11-unix/X$n ]; then
    display=$n
    break
  fi
done
[ -n "$display" ] || { echo "no free display number"; exit 1; }

Xvfb :$display -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
wine_prefix=
cleanup() {
  if [ -n "$wine_prefix" ]; then WINEPREFIX=$wine_prefix wineserver -k >/dev/null 2>&1; fi
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -e /tmp/.X11-unix/X$display ] && break
  kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1; }
  sleep 0.1
done
[ -e /tmp/.X11-unix/X$display ] || { echo "Xvfb did not come up on :$display"; exit 1; }
export DISPLAY=:$display

case "$(basename "$1")" in
  wine-run|wine)
    wine_prefix=$work/wineprefix
    shared=${WINEPREFIX:-$(cd "$(dirname "$0")/../.." && pwd)/build/wineprefix}
    if [ ! -d "$wine_prefix" ]; then
      if [ -d "$shared" ]; then cp -a "$shared" "$wine_prefix.tmp" && mv "$wine_prefix.tmp" "$wine_prefix"; fi
    fi
    export WINEPREFIX=$wine_prefix
    ;;
esac

timeout -k 5 "$limit" "$@"
rc=$?
[ $rc -eq 124 ] && echo "display test ran out of its $limit s"
exit $rc
