#!/usr/bin/env bash
# The bitmap and dialog-template readers of the windowing service, seeded with
# the resource library's own template and a small bitmap.
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seeds="$work/seeds"
mkdir -p "$seeds"
art="$FUZZ_BIN/../tools/resources/art"
if [ -f "$art/bmp144.bmp" ]; then
  { printf '\000'; tail -c +15 "$art/bmp144.bmp"; } > "$seeds/bitmap"
fi
"$FUZZ_BIN/gui_fuzzer" -max_total_time="$FUZZ_SECONDS" -max_len=16384 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 "$work" "$seeds"
