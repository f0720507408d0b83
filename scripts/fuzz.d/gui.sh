#!/usr/bin/env bash
# The bitmap and dialog-template readers of the windowing service, seeded with
# the resource library's own template and a small bitmap (nothing is kept).
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
art="$FUZZ_BIN/../testing/resources/art"
if [ -f "$art/bmp144.bmp" ]; then
  { printf '\000'; tail -c +15 "$art/bmp144.bmp"; } > "$seeds/bitmap"
fi
fuzz_run gui_fuzzer "$seeds" 16384
