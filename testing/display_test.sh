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

. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
wine_prefix= wine_server=wineserver
cleanup() {
  if [ -n "$wine_prefix" ]; then WINEPREFIX=$wine_prefix $wine_server -k >/dev/null 2>&1; fi
  stop_xvfb
}
trap cleanup EXIT

if ! start_xvfb 1024x768x24 "$work/xvfb.log"; then
  echo "could not start Xvfb:"
  cat "$work/xvfb.log"
  exit 1
fi

case "$(basename "$1")" in
  wine-run|wine|wine64-run)
    wine_prefix=$work/wineprefix
    [ "$(basename "$1")" = wine64-run ] && wine64_env
    wine_env
    shared=$WINEPREFIX wine_server=${WINESERVER:-wineserver}
    # Other Windows tests run in the shared prefix meanwhile: their temporary
    # directories come and go, so those are left out, and a file that goes
    # while it is copied is no fault (a plain copy gave up there, and Wine
    # then made a prefix from nothing in the middle of the test).
    if [ ! -d "$wine_prefix" ] && [ -d "$shared" ]; then
      rm -rf "$wine_prefix.tmp" && mkdir -p "$wine_prefix.tmp" &&
        tar -C "$shared" --exclude='./drive_c/users/*/Temp/*' --ignore-failed-read -cf - . 2>/dev/null |
        tar -C "$wine_prefix.tmp" -xf - && mv "$wine_prefix.tmp" "$wine_prefix" ||
        echo "could not copy the Wine prefix $shared"
    fi
    export WINEPREFIX=$wine_prefix
    # No window manager runs on this display. A window Wine gives to one
    # waits up to 2 s, when hidden, for the manager to take note, so every
    # dialog took 2 s longer to close; Wine keeps its windows to itself here.
    if [ ! -f "$wine_prefix/.unmanaged" ]; then
      "$1" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 &&
        touch "$wine_prefix/.unmanaged"
    fi
    # Tests may allow what Wine does not do (a blank browser pane).
    export RENEWEL_DISPLAY_UNDER_WINE=1
    ;;
esac

timeout -k 5 "$limit" "$@"
rc=$?
[ $rc -eq 124 ] && echo "display test ran out of its $limit s"
exit $rc
