#!/usr/bin/env bash
# Delta updates against full packages, 1.0.0.1 -> 1.0.0.3, for two clients:
#   demo: 64 MiB of engine packages, a few objects of two packages changed
#         per version (the demo's client);
#   big:  256 MiB of engine packages, about 1% of all objects changed per
#         version.
# Each tree comes from the release builder (with a direct delta 1.0.0.1 ->
# 1.0.0.3 beside the steps). The launcher updates a player's install of
# 1.0.0.1 twice, without a window, from nginx on 127.0.0.1: once
# through the published tree (deltas), once through the same tree with every
# version.xml naming the full package instead. Printed per client: package
# bytes published, the bytes nginx sent and the launcher kept, one step's
# delta against its full package, and the wall time of the whole update, with the
# full/delta ratios.
# Then a client six versions deep: a player at 1.0.0.1 with 1.0.0.6 out takes
# the published route (a direct delta), measured in downloads and bytes
# against xdelta3 -e of the files that changed and the newest full package.
# Then a repair of one damaged file, the repair's hashing against sha256sum,
# and the bytes written while a delta installs.
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

# update BUILDS TREE_URL INSTALL: a player's 1.0.0.1 updated to the end
# ($last); prints the wall seconds.
last=1.0.0.3
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
  if ! grep -qs "update ended: 5 " "$install"/log/* || ! grep -qs "ClientVersion=$last" "$install/dovra_version.ini"; then
    echo "the update of $install did not end at $last" >&2
    return 1
  fi
  echo "$e - $s" | bc -l
}

sent_bytes() { awk -v from="$1" 'NR > from && $2 ~ /\/packages\// { n += $5 } END { print n + 0 }' "$nginx_work/access.log"; }
# kept_bytes FROM ROOT: the size of each package asked for since line FROM,
# once: what the launcher kept.
kept_bytes() {
  local n=0 f
  for f in $(awk -v from="$1" 'NR > from && $2 ~ /\/packages\// { sub(/^.*\/packages\//, "", $2); print $2 }' \
               "$nginx_work/access.log" | sort -u); do
    n=$((n + $(stat -c %s "$2/packages/$f")))
  done
  echo "$n"
}
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
  local before t_delta sent_delta kept_delta t_full sent_full kept_full step
  before=$(lines)
  t_delta=$(update "$builds" "$url" "$d/$name-install-delta")
  sent_delta=$(sent_bytes "$before")
  kept_delta=$(kept_bytes "$before" "$out")
  before=$(lines)
  t_full=$(update "$builds" "$url_full" "$d/$name-install-full")
  sent_full=$(sent_bytes "$before")
  kept_full=$(kept_bytes "$before" "$out-full")
  bash "$here/testing/nginx/serve.sh" stop "$nginx_work" >/dev/null 2>&1 || true
  nginx_work=
  printf '   package bytes   deltas %11d   fulls %11d   full/delta %7.1fx\n' "$delta_pkg" "$full_pkg" \
    "$(echo "$full_pkg / $delta_pkg" | bc -l)"
  printf '   bytes sent      deltas %11d   fulls %11d   full/delta %7.1fx\n' "$sent_delta" "$sent_full" \
    "$(echo "$sent_full / $sent_delta" | bc -l)"
  printf '   bytes kept      deltas %11d   fulls %11d   full/delta %7.1fx\n' "$kept_delta" "$kept_full" \
    "$(echo "$kept_full / $kept_delta" | bc -l)"
  printf '   sent/kept       deltas %10.3fx   fulls %10.3fx\n' "$(echo "$sent_delta / $kept_delta" | bc -l)" \
    "$(echo "$sent_full / $kept_full" | bc -l)"
  step=$(stat -c %s "$out"/packages/*/update_1.0.0.1_to_1.0.0.2*)
  printf '   one step        delta %11d   full %11d   full/delta %7.1fx\n' "$step" \
    "$(stat -c %s "$out"/packages/*/full_1.0.0.1_to_1.0.0.2*)" \
    "$(echo "$(stat -c %s "$out"/packages/*/full_1.0.0.1_to_1.0.0.2*) / $step" | bc -l)"
  printf '   wall time       deltas %10.2fs   fulls %10.2fs   full/delta %7.2fx\n' "$t_delta" "$t_full" \
    "$(echo "$t_full / $t_delta" | bc -l)"
  grep -E 'sent (whole|as a binary difference)' "$d/$name-summary.txt" | sed 's/^/   /' || true
}

# many: 1.0.0.1 -> 1.0.0.6 of the demo client.
many() {
  local builds="$d/many-builds" out="$d/many-out"
  echo "-- many: a player at 1.0.0.1 with 1.0.0.6 out, 64 MiB of engine packages"
  [ -f "$builds/1.0.0.6/System/Pack4.u" ] ||
    VERSIONS=6 bash "$here/testing/e2e/make_builds.sh" "$BENCH_BIN/pkgtool" "$builds" 64 8
  rm -rf "$out"
  mkdir -p "$out"
  nginx_work="$d/many-nginx"
  local port url before t downloads sent full xd=0 f
  port=$(bash "$here/testing/nginx/serve.sh" start "$nginx_work" "$d")
  url="http://127.0.0.1:$port/many-out/"
  "$BENCH_BIN/publish" release "$builds" "$out" "$url" --unsigned > "$d/many-summary.txt"
  before=$(lines)
  last=1.0.0.6
  t=$(update "$builds" "$url" "$d/many-install")
  last=1.0.0.3
  sent=$(sent_bytes "$before")
  downloads=$(awk -v from="$before" 'NR > from && $2 ~ /\/packages\// { print $2 }' "$nginx_work/access.log" | sort -u | wc -l)
  bash "$here/testing/nginx/serve.sh" stop "$nginx_work" >/dev/null 2>&1 || true
  nginx_work=
  # xdelta3 of each file that differs, and each new file whole.
  while IFS= read -r f; do
    if [ ! -f "$builds/1.0.0.1/$f" ]; then
      xd=$((xd + $(stat -c %s "$builds/1.0.0.6/$f")))
    elif ! cmp -s "$builds/1.0.0.1/$f" "$builds/1.0.0.6/$f"; then
      xd=$((xd + $(xdelta3 -e -9 -c -s "$builds/1.0.0.1/$f" "$builds/1.0.0.6/$f" | wc -c)))
    fi
  done < <(cd "$builds/1.0.0.6" && find . -type f ! -name notes.txt | sed 's|^\./||')
  full=$(stat -c %s "$out"/packages/*/full_1.0.0.1_to_1.0.0.6* 2>/dev/null | head -1)
  printf '   route           %d download(s), %d bytes sent, %.2fs\n' "$downloads" "$sent" "$t"
  printf '   xdelta3 -e      %d bytes of the changed files   route/xdelta3 %.2fx\n' "$xd" \
    "$(echo "$sent / $xd" | bc -l)"
  [ -n "$full" ] && printf '   full package    %d bytes   full/route %.1fx\n' "$full" "$(echo "$full / $sent" | bc -l)"
  grep -E 'direct|route' "$d/many-summary.txt" | grep '1\.0\.0\.1' | sed 's/^/   /' || true
}

# serve_demo NAME VERSION: the demo client's builds published to $d/NAME-out,
# served by nginx (sets nginx_work and url), and a player's install of
# VERSION at $d/NAME-install pointed at it.
serve_demo() {
  local name=$1 version=$2 builds="$d/demo-builds" port
  local out="$d/$name-out" install="$d/$name-install"
  [ -f "$builds/1.0.0.3/System/Pack4.u" ] || bash "$here/testing/e2e/make_builds.sh" "$BENCH_BIN/pkgtool" "$builds" 64 8
  rm -rf "$out" && mkdir -p "$out"
  nginx_work="$d/$name-nginx"
  port=$(bash "$here/testing/nginx/serve.sh" start "$nginx_work" "$d")
  url="http://127.0.0.1:$port/$name-out/"
  "$BENCH_BIN/publish" release "$builds" "$out" "$url" --unsigned >/dev/null
  rm -rf "$install" && mkdir -p "$install"
  cp -r "$builds/$version/." "$install/" && rm -f "$install/notes.txt"
  cp "$BENCH_BIN/Quillfen" "$BENCH_BIN/Quillfen.so" "$BENCH_BIN/dovra_version.so" "$install/"
  printf '[version]\r\nClientVersion=%s\r\nUpdateVersionUrl=%s\r\n' "$version" "$url" > "$install/dovra_version.ini"
}

# written: the bytes the setup program and the patch tool it starts write
# while a delta 1.0.0.1 -> 1.0.0.3 installs (traced), against the size of the
# files that step adds or changes.
written() {
  local builds="$d/demo-builds" install="$d/written-install" trace="$d/written-trace"
  echo "-- written: bytes written while a delta installs, 64 MiB client, 1.0.0.1 -> 1.0.0.3"
  if ! command -v strace >/dev/null; then echo "   skipped (no strace)"; return 0; fi
  rm -rf "$trace" && mkdir -p "$trace"
  local url
  serve_demo written 1.0.0.1
  # The launcher hands over to its temp copy and ends: -f follows the copy.
  (cd "$install" && DISPLAY= timeout 900 strace -f -ff -qq -e trace=execve,write,pwrite64,writev \
     -o "$trace/t" ./Quillfen >/dev/null 2>&1) || true
  for _ in $(seq 1 9000); do grep -qs "update ended" "$install"/log/* && break; sleep 0.1; done
  bash "$here/testing/nginx/serve.sh" stop "$nginx_work" >/dev/null 2>&1 || true
  nginx_work=
  if ! grep -qs "ClientVersion=1.0.0.3" "$install/dovra_version.ini"; then
    echo "   the traced update did not reach 1.0.0.3" >&2
    return 1
  fi
  # The processes of the install: the setup program and what it started.
  local written=0 f n
  for f in "$trace"/t.*; do
    grep -qE 'execve\("[^"]*(delta_setup|Gleaner)[^"]*"' "$f" || continue
    n=$(awk -F'= ' '/^(write|pwrite64|writev)\(/ && $NF ~ /^[0-9]+$/ { s += $NF } END { print s + 0 }' "$f")
    written=$((written + n))
  done
  local changed=0
  while IFS= read -r f; do
    cmp -s "$builds/1.0.0.1/$f" "$builds/1.0.0.3/$f" 2>/dev/null || changed=$((changed + $(stat -c %s "$builds/1.0.0.3/$f")))
  done < <(cd "$builds/1.0.0.3" && find . -type f ! -name notes.txt | sed 's|^\./||')
  printf '   written         %d bytes   new and changed files %d bytes   written/files %.2fx\n' \
    "$written" "$changed" "$(echo "$written / $changed" | bc -l)"
}

# repair: a 1.0.0.3 install of the demo client with one 16 MiB engine
# package damaged, repaired with -c repair: the bytes fetched against that
# file's stored size and the full package. Then the repair's hashing of a
# 1 GiB install (64 files of 16 MiB) against sha256sum of the same files.
repair() {
  local builds="$d/demo-builds" out="$d/repair-out" install="$d/repair-install"
  echo "-- repair: one damaged 16 MiB engine package in the 64 MiB client"
  local url before sent stored full
  serve_demo repair 1.0.0.3
  printf 'damaged' | dd of="$install/System/Pack2.u" bs=1 seek=1000000 conv=notrunc status=none
  before=$(lines)
  (cd "$install" && DISPLAY= timeout 900 ./Quillfen -c repair >/dev/null 2>&1) || true
  for _ in $(seq 1 9000); do grep -qs "update ended" "$install"/log/* && break; sleep 0.1; done
  sent=$(awk -v from="$before" 'NR > from && $2 ~ /\/(files\/|[0-9.]+\/files\.txt)/ { n += $5 } END { print n + 0 }' \
           "$nginx_work/access.log")
  bash "$here/testing/nginx/serve.sh" stop "$nginx_work" >/dev/null 2>&1 || true
  nginx_work=
  if ! cmp -s "$install/System/Pack2.u" "$builds/1.0.0.3/System/Pack2.u"; then
    echo "   the repair did not mend System/Pack2.u" >&2
    return 1
  fi
  stored=$(awk '$1 == "file" && $6 == "System/Pack2.u" { print $4 }' "$out/1.0.0.3/files.txt")
  full=$(stat -c %s "$out"/packages/*/full_1.0.0.2_to_1.0.0.3* | head -1)
  printf '   repair          %d bytes fetched   stored file %d bytes   fetched/stored %.3fx   full package %d (%.1fx)\n' \
    "$sent" "$stored" "$(echo "$sent / $stored" | bc -l)" "$full" "$(echo "$full / $sent" | bc -l)"
  local hash="$d/hash-1g" i t0 t1 t2
  if [ ! -f "$hash/63.bin" ]; then
    mkdir -p "$hash"
    for i in $(seq 0 63); do head -c 16777216 /dev/urandom > "$hash/$i.bin"; done
  fi
  cat "$hash"/*.bin > /dev/null  # both read from the page cache
  t0=$(now)
  "$BENCH_BIN/install_check_bench" "$hash" >/dev/null || true
  t1=$(now)
  (cd "$hash" && sha256sum ./*.bin >/dev/null)
  t2=$(now)
  printf '   hashing 1 GiB   repair %.2fs   sha256sum %.2fs   sha256sum/repair %.2fx\n' \
    "$(echo "$t1 - $t0" | bc -l)" "$(echo "$t2 - $t1" | bc -l)" "$(echo "($t2 - $t1) / ($t1 - $t0)" | bc -l)"
}

# DELTA_CASES picks some of them ("demo big many repair written" by default).
for c in ${DELTA_CASES:-demo big many repair written}; do
  case $c in
    demo) measure demo 64 8 ;;
    big) measure big 256 20 ;;
    many) if command -v xdelta3 >/dev/null; then many; else echo "-- many: skipped (no xdelta3)"; fi ;;
    repair) repair ;;
    written) written ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
done
printf 'of each delta: setup program %d bytes, Gleaner %d bytes before compression\n' \
  "$(stat -c %s "$BENCH_BIN/delta_setup")" "$(stat -c %s "$BENCH_BIN/Gleaner")"
