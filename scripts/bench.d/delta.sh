#!/usr/bin/env bash
# Release packages: bytes of the delta packages against the full packages for
# 1.0.0.1 -> 1.0.0.3, on a client of 256 MiB of engine packages (8 packages of
# 512 objects of 64 KiB) with about 1% of the objects changed per version.
set -eu
d="$BENCH_TMP/delta"
mkdir -p "$d"
if [ ! -f "$d/builds/1.0.0.3/System/P7.u" ]; then
  rm -rf "$d/builds"
  python3 - "$d" <<'PY'
import os, random, sys
d = sys.argv[1]
rng = random.Random(1)
packages, objects, size = 8, 512, 65536
changed = {}  # (package, object) -> list of set= items
for v in (1, 2, 3):
    if v > 1:
        for _ in range(packages * objects // 100):
            key = (rng.randrange(packages), rng.randrange(objects))
            changed.setdefault(key, []).append("set=%d:%08x" % (rng.randrange(size - 4), rng.getrandbits(32)))
    root = os.path.join(d, "descriptions", "1.0.0.%d" % v)
    os.makedirs(root, exist_ok=True)
    for p in range(packages):
        with open(os.path.join(root, "P%d.txt" % p), "w") as f:
            f.write("version 128\nname None\nname Core\nname Class\nimport Core Class 0 Tex\n")
            for o in range(objects):
                items = ["random=%d,%d" % (size, p * objects + o + 1)] + changed.get((p, o), [])
                f.write("export -1 0 0 Obj%d 0 %s\n" % (o, " ".join(items)))
PY
  for v in 1.0.0.1 1.0.0.2 1.0.0.3; do
    mkdir -p "$d/builds/$v/System"
    for p in 0 1 2 3 4 5 6 7; do
      "$BENCH_BIN/pkgtool" make "$d/descriptions/$v/P$p.txt" "$d/builds/$v/System/P$p.u"
    done
    echo "launcher $v" > "$d/builds/$v/Quillfen"
    echo "Release $v" > "$d/builds/$v/notes.txt"
  done
fi
rm -rf "$d/out"
"$BENCH_BIN/publish" release "$d/builds" "$d/out" http://127.0.0.1:1/ > "$d/summary.txt"
size_of() { stat -c %s "$d/out/packages/"*/"$1"; }
delta=0
full=0
for step in "1.0.0.1 1.0.0.2" "1.0.0.2 1.0.0.3"; do
  set -- $step
  ds=$(size_of "update_$1_to_$2")
  fs=$(size_of "full_$1_to_$2")
  printf '%s -> %s  delta %10d bytes  full %10d bytes  delta/full %.4f\n' "$1" "$2" "$ds" "$fs" "$(echo "$ds / $fs" | bc -l)"
  delta=$((delta + ds))
  full=$((full + fs))
done
printf '1.0.0.1 -> 1.0.0.3  deltas %10d bytes  fulls %9d bytes  delta/full %.4f\n' "$delta" "$full" "$(echo "$delta / $full" | bc -l)"
program=$(stat -c %s "$BENCH_BIN/delta_setup")
gleaner=$(stat -c %s "$BENCH_BIN/Gleaner")
printf 'of each delta: setup program %d bytes, Gleaner %d bytes before compression\n' "$program" "$gleaner"
grep -c 'sent whole' "$d/summary.txt" | xargs printf 'engine packages sent whole: %s\n' || true
