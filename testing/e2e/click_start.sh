#!/usr/bin/env bash
# Plays the player's part at a running launcher: waits for its window, waits
# until the client is up to date, takes screenshots, clicks the start button
# and waits for the window to close.
#
# Usage: click_start.sh <install dir> <screenshot dir> [time limit, seconds]
#   DISPLAY must name the display the launcher shows its window on; the
#   launcher is started by the caller (it may still be starting).
# Writes <screenshot dir>/launcher-window.png (the window as it appears),
# launcher-downloading.png (once, if a download is seen) and
# launcher-up-to-date.png (start enabled), each cut to the window.
# Prints one line per step. Exit status: 0 the start button was clicked and
# the window closed; 1 no window appeared; 2 the client did not come up to
# date in time (an update failure shows only in the window); 3 the window
# stayed open after the click; 4 xdotool or ImageMagick is missing; 5 the
# start button's row is not in the window's layout table.
set -u
install=${1:?install directory}
shots=${2:?screenshot directory}
limit=${3:-300}
title='Dovra: Glass Frontier'
up_to_date='Updated to latest version,Rate:100NOUPDATING'
# The start button's centre in the window: its row in the window's layout
# table, {kStartId, enabled, x, y, width, height, images...}.
layout_table="$(dirname "$0")/../../launcher/ui/launcher_dialog.cc"
start_row=$(sed -n 's/^ *{kStartId, *[0-9]*, *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\),.*/\1 \2 \3 \4/p' \
  "$layout_table" 2>/dev/null | head -1)
[ -n "$start_row" ] || { echo "no start button row in $layout_table"; exit 5; }
read -r row_x row_y row_width row_height <<<"$start_row"
start_x=$((row_x + row_width / 2)) start_y=$((row_y + row_height / 2))

command -v xdotool >/dev/null && command -v import >/dev/null || { echo "xdotool or ImageMagick is missing"; exit 4; }
mkdir -p "$shots"
deadline=$((SECONDS + limit))

geometry() {  # sets X Y WIDTH HEIGHT of the window; false when there is none
  local g
  g=$(xdotool search --onlyvisible --name "$title" getwindowgeometry --shell 2>/dev/null | head -5) || return 1
  [ -n "$g" ] || return 1
  eval "$g"
}
shot() {  # shot NAME: the screen cut to the window
  geometry || return 1
  import -window root "$shots/.root.bmp" 2>/dev/null &&
    convert "$shots/.root.bmp" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$1.png" &&
    rm -f "$shots/.root.bmp" && echo "screenshot: $shots/$1.png"
}
logged() { cat "$install"/log/* 2>/dev/null | grep -qF "$1"; }

until geometry; do
  [ $SECONDS -lt $deadline ] || { echo "no launcher window within $limit s"; exit 1; }
  sleep 0.3
done
echo "window at $X,$Y (${WIDTH}x$HEIGHT)"
sleep 1
shot launcher-window

seen_download=
until logged "$up_to_date"; do
  [ $SECONDS -lt $deadline ] || { echo "the client did not come up to date within $limit s"; exit 2; }
  if [ -z "$seen_download" ] && logged "Updating client,Rate:"; then
    seen_download=1
    sleep 0.5
    shot launcher-downloading
  fi
  sleep 0.3
done
echo "client up to date"
sleep 0.8
shot launcher-up-to-date

geometry || { echo "the window went away"; exit 3; }
xdotool mousemove $((X + start_x)) $((Y + start_y)) sleep 0.2 click 1
echo "start clicked"
while geometry; do
  [ $SECONDS -lt $deadline ] || { echo "the window stayed open after the click"; exit 3; }
  sleep 0.3
done
echo "window closed"
