#!/usr/bin/env bash
# SegmentPolicy (four ranges) against curl (one stream) and aria2c (four
# streams) on nginx over loopback, in one run:
#   - a 512 MiB file at full speed;
#   - a 128 MiB file behind limit_rate 50m per connection (a throttled link).
# Each contender downloads into a fresh file (no resume); best of three.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
www="$BENCH_TMP/dl-www"
work="$BENCH_TMP/dl-nginx"
out="$BENCH_TMP/dl-out"
mkdir -p "$www/slow" "$out"
[ -f "$www/big.bin" ] || head -c $((512 * 1024 * 1024)) /dev/urandom > "$www/big.bin"
[ -f "$www/slow/thr.bin" ] || head -c $((128 * 1024 * 1024)) /dev/urandom > "$www/slow/thr.bin"
cat "$www/big.bin" "$www/slow/thr.bin" > /dev/null

port=$(bash "$here/testing/nginx/serve.sh" start "$work" "$www" "location /slow/ { limit_rate 50m; }")
trap 'bash "$here/testing/nginx/serve.sh" stop "$work"' EXIT
base="http://127.0.0.1:$port"

fresh() { rm -f "$out/$1" "$out/$1.aria2" "$out/Download.xml"; }
ours()  { fresh "$2"; "$BENCH_BIN/segment_download" "$out" "$1" "$out/Download.xml" > /dev/null; }
curl1() { fresh "$2"; curl -s -o "$out/$2" "$1"; }
aria()  { fresh "$2"; aria2c -q -x4 -s4 -k1M --allow-overwrite=true --auto-file-renaming=false -d "$out" -o "$2" "$1"; }

best() {  # best of three wall-clock seconds: best NAME-OF-FILE COMMAND URL
  local name=$1 b=""
  shift
  for _ in 1 2 3; do
    local s e t
    s=$(date +%s.%N); "$@" "$name"; e=$(date +%s.%N)
    t=$(echo "$e - $s" | bc -l)
    if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
  done
  echo "$b"
}

run() {  # run LABEL URL NAME SOURCE MIB
  local label=$1 url=$2 name=$3 src=$4 mib=$5
  local o c a
  o=$(best "$name" ours "$url")
  [ "$(sha1sum < "$out/$name")" = "$(sha1sum < "$src")" ] || { echo "$label: downloaded file differs"; exit 1; }
  c=$(best "$name" curl1 "$url")
  a=$(best "$name" aria "$url")
  printf '%s\n' "$label"
  printf '  SegmentPolicy %7.3f s  %7.1f MiB/s\n' "$o" "$(echo "$mib / $o" | bc -l)"
  printf '  curl          %7.3f s  SegmentPolicy takes %.2fx its time\n' "$c" "$(echo "$o / $c" | bc -l)"
  printf '  aria2c -x4    %7.3f s  SegmentPolicy takes %.2fx its time\n' "$a" "$(echo "$o / $a" | bc -l)"
}

run "512 MiB, loopback" "$base/big.bin" big.bin "$www/big.bin" 512
run "128 MiB, limit_rate 50m per connection" "$base/slow/thr.bin" thr.bin "$www/slow/thr.bin" 128
rm -f "$out"/*.bin
