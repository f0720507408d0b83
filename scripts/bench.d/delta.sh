#!/usr/bin/env bash
# Delta updates against full packages, 1.0.0.1 -> 1.0.0.3, for two clients:
#   demo: 64 MiB of engine packages, a few objects of two packages changed
#         per version (the demo's client);
#   big:  256 MiB of engine packages, about 1% of all objects changed per
#         version.
# Each tree comes from the release builder. The launcher updates a player's
# install of 1.0.0.1 twice, without a window, from nginx on 127.0.0.1: once
# through the published tree (deltas), once through the same tree with every
# version.xml naming the full package instead. Printed per client: package
# bytes, the bytes nginx sent, and the wall time of the whole update, with the
# full/delta ratios.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
d="$BENCH_TMP/delta"
mkdir -p "$d"
nginx_work=
cleanup() { [ -n "$nginx_work" ] && bash "$here/testing/nginx/serve.sh" stop "$nginx_work" >/dev/null 2>&1 || true; }
trap cleanup EXIT

# The launcher's instance mutex is machine-wide: no test may run meanwhile.
exec 9>/tmp/launcher-tests.lock
flock 9

now() { date +%s.%N; }

# update BUILDS TREE_URL INSTALL: a player's 1.0.0.1 updated to the end;
# prints the wall seconds.
update() {
  local builds=$1 url=$2 install=$3 s e
  rm -rf "$install"
  mkdir -p "$install"
  cp -r "$builds/1.0.0.1/." "$install/"
  rm -f "$install/notes.txt"
  cp "$BENCH_BIN/Quillfen" "$BENCH_BIN/Quillfen.so" "$BENCH_BIN/dovra_version.so" "$install/"
  printf '[version]\r\nClientVersion=1.0.0.1\r\nUpdateVersionUrl=%s\r\n' "$url" > "$install/dovra_version.ini"
  s=$(now)
  (cd "$install" && DISPLAY= timeout 900 ./Quillfen >/dev/null 2>&1) || true
  for _ in $(seq 1 9000); do
    grep -qs "update ended" "$install"/log/* && break
    sleep 0.1
  done
  e=$(now)
  if ! grep -qs "update ended: 5 " "$install"/log/* || ! grep -qs "ClientVersion=1.0.0.3" "$install/dovra_version.ini"; then
    echo "the update of $install did not end at 1.0.0.3" >&2
    return 1
  fi
  echo "$e - $s" | bc -l
}

sent_bytes() { awk -v from="$1" 'NR > from && $2 ~ /\/packages\// { n += $5 } END { print n + 0 }' "$nginx_work/access.log"; }
lines() { wc -l < "$nginx_work/access.log"; }

measure() {
  local name=$1 mib=$2 permille=$3
  local builds="$d/$name-builds" out="$d/$name-out"
  echo "-- $name: $mib MiB of engine packages, $permille per mille of the objects of two of four packages changed per version"
  [ -f "$builds/1.0.0.3/System/Pack4.u" ] || bash "$here/testing/e2e/make_builds.sh" "$BENCH_BIN/pkgtool" "$builds" "$mib" "$permille"
  rm -rf "$out" "$out-full"
  mkdir -p "$out"
  nginx_work="$d/$name-nginx"
  local port
  port=$(bash "$here/testing/nginx/serve.sh" start "$nginx_work" "$d")
  local url="http://127.0.0.1:$port/$name-out/" url_full="http://127.0.0.1:$port/$name-out-full/"
  "$BENCH_BIN/publish" release "$builds" "$out" "$url" --unsigned > "$d/$name-summary.txt"
  # The same tree whose version.xml name the full packages.
  cp -r "$out" "$out-full"
  for v in "$out-full"/1.0.0.*/version.xml; do
    local full_url full_md5
    full_url=$(sed -n 's|.*<fullpackageurl>\([^<]*\)</fullpackageurl>.*|\1|p' "$v")
    full_md5=$(sed -n 's|.*<fullpackagemd5>\([^<]*\)</fullpackagemd5>.*|\1|p' "$v")
    full_url=${full_url/"$url"/"$url_full"}
    sed -i -e "s|<packageurl>[^<]*</packageurl>|<packageurl>$full_url</packageurl>|" \
           -e "s|<packagemd5>[^<]*</packagemd5>|<packagemd5>$full_md5</packagemd5>|" "$v"
  done
  local delta_pkg=0 full_pkg=0 f
  for f in "$out"/packages/*/update_*; do delta_pkg=$((delta_pkg + $(stat -c %s "$f"))); done
  for f in "$out"/packages/*/full_*; do full_pkg=$((full_pkg + $(stat -c %s "$f"))); done
  local before t_delta sent_delta t_full sent_full
  before=$(lines)
  t_delta=$(update "$builds" "$url" "$d/$name-install-delta")
  sent_delta=$(sent_bytes "$before")
  before=$(lines)
  t_full=$(update "$builds" "$url_full" "$d/$name-install-full")
  sent_full=$(sent_bytes "$before")
  bash "$here/testing/nginx/serve.sh" stop "$nginx_work" >/dev/null 2>&1 || true
  nginx_work=
  printf '   package bytes   deltas %11d   fulls %11d   full/delta %7.1fx\n' "$delta_pkg" "$full_pkg" \
    "$(echo "$full_pkg / $delta_pkg" | bc -l)"
  printf '   bytes sent      deltas %11d   fulls %11d   full/delta %7.1fx\n' "$sent_delta" "$sent_full" \
    "$(echo "$sent_full / $sent_delta" | bc -l)"
  printf '   sent/kept       deltas %10.3fx   fulls %10.3fx\n' "$(echo "$sent_delta / $delta_pkg" | bc -l)" \
    "$(echo "$sent_full / $full_pkg" | bc -l)"
  printf '   wall time       deltas %10.2fs   fulls %10.2fs   full/delta %7.2fx\n' "$t_delta" "$t_full" \
    "$(echo "$t_full / $t_delta" | bc -l)"
  grep -E 'sent (whole|as a binary difference)' "$d/$name-summary.txt" | sed 's/^/   /' || true
}

measure demo 64 8
measure big 256 20
printf 'of each delta: setup program %d bytes, Gleaner %d bytes before compression\n' \
  "$(stat -c %s "$BENCH_BIN/delta_setup")" "$(stat -c %s "$BENCH_BIN/Gleaner")"
