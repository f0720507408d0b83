#!/usr/bin/env bash
# Gleaner on a 256 MiB package with a small change, against xdelta3 -d
# applying an equivalent delta and against cp of the file, in one run; and
# Gleaner's peak memory against the package size.
set -eu
d="$BENCH_TMP/gleaner"
mkdir -p "$d"
size=$((256 * 1024 * 1024))
common='version 128
name None
name Core
name Class
name Pkg
name Big
import Core Class 0 Pkg'
if [ ! -f "$d/old.pkg" ]; then
  printf '%s\nexport -1 0 0 Big 0 random=%d,1\n' "$common" "$size" > "$d/old.txt"
  printf '%s\nexport -1 0 0 Big 0 random=%d,1 set=1000:deadbeef set=200000000:0102030405\n' "$common" "$size" > "$d/new.txt"
  "$BENCH_BIN/pkgtool" make "$d/old.txt" "$d/old.pkg"
  "$BENCH_BIN/pkgtool" make "$d/new.txt" "$d/new.pkg"
fi
"$BENCH_BIN/pkgtool" diff "$d/old.pkg" "$d/new.pkg" "$d/p.diff" > /dev/null
xdelta3 -e -f -s "$d/old.pkg" "$d/new.pkg" "$d/x.delta"
cat "$d/old.pkg" "$d/new.pkg" > /dev/null

. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

ours=$(best "$BENCH_BIN/Gleaner" "$d/p.diff" "$d/old.pkg" "$d/out.pkg")
cmp -s "$d/out.pkg" "$d/new.pkg" || { echo "Gleaner's output differs from the new package"; exit 1; }
xd=$(best xdelta3 -d -f -s "$d/old.pkg" "$d/x.delta" "$d/x.out")
cmp -s "$d/x.out" "$d/new.pkg" || { echo "xdelta3's output differs"; exit 1; }
cpt=$(best cp "$d/old.pkg" "$d/cp.out")
peak_kib=$(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$BENCH_BIN/Gleaner" "$d/p.diff" "$d/old.pkg" "$d/out.pkg")
pkg_kib=$(( $(stat -c %s "$d/new.pkg") / 1024 ))
printf 'Gleaner  %6.3f s  (difference file %d bytes)\n' "$ours" "$(stat -c %s "$d/p.diff")"
printf 'xdelta3  %6.3f s  Gleaner is %.2fx its speed (delta %d bytes)\n' "$xd" "$(echo "$xd / $ours" | bc -l)" "$(stat -c %s "$d/x.delta")"
printf 'cp       %6.3f s  Gleaner is %.2fx its speed\n' "$cpt" "$(echo "$cpt / $ours" | bc -l)"
printf 'peak     %6d MiB  %.2fx the package size (goal: at most 2.5x)\n' "$((peak_kib / 1024))" "$(echo "$peak_kib / $pkg_kib" | bc -l)"
rm -f "$d/out.pkg" "$d/x.out" "$d/cp.out"
