#!/usr/bin/env bash
# Makes the build directories of a sample client for the release builder:
#
#   make_builds.sh PKGTOOL OUT_DIR TOTAL_MIB CHANGED_PERMILLE [PROGRAM]
#
# PKGTOOL is run through $RUN when set (the Wine runner for win32 builds).
# OUT_DIR/1.0.0.1, 1.0.0.2 and 1.0.0.3 (up to 1.0.0.$VERSIONS when VERSIONS
# is set, 3 to 9) each hold a whole client: System/ with
# four engine packages of TOTAL_MIB/4 MiB each (64 KiB objects of
# pseudo-random bytes), System/Dovra.ini, and notes.txt. From one version to
# the next CHANGED_PERMILLE of the objects of two of the packages change
# (at least one object each), and so does System/Dovra.ini. With PROGRAM, a
# copy of it stands at System/Tool in every version, one byte added from
# 1.0.0.3 on. Version 1.0.0.3 also drops System/Old.txt, which 1.0.0.1 and
# 1.0.0.2 hold.
set -eu
pkgtool=$1 out=$2 total_mib=$3 permille=$4 program=${5:-}
versions=${VERSIONS:-3}
case $versions in [3-9]) ;; *) echo "make_builds: VERSIONS must be 3 to 9" >&2; exit 2 ;; esac
objects=$(( total_mib * 1024 / 64 / 4 ))   # per package
[ "$objects" -ge 1 ] || { echo "make_builds: TOTAL_MIB too small" >&2; exit 2; }
changed=$(( objects * permille / 1000 ))
[ "$changed" -ge 1 ] || changed=1
rm -rf "$out"
mkdir -p "$out"
work="$out/.descriptions"
mkdir -p "$work"
for v in $(seq 1 "$versions"); do
  dir="$out/1.0.0.$v"
  mkdir -p "$dir/System"
  for p in 1 2 3 4; do
    desc="$work/p$p-v$v.txt"
    # Packages 1 and 2 change from version to version; 3 and 4 never do.
    awk -v p="$p" -v v="$v" -v n="$objects" -v c="$changed" 'BEGIN {
      print "version 128"
      printf "guid %d 2 3 4\n", p
      print "name None"
      print "name Core 0x00070010"
      print "name Engine 0x00070010"
      print "name Package"
      print "name Texture"
      printf "name Pack%d\n", p
      print "import Core Package 0 Engine"
      print "import Core Class -1 Texture"
      printf "export 0 0 0 Pack%d 0x00000001\n", p
      for (i = 0; i < n; i++) {
        seed = p * 1000003 + i
        # In a changing package, version v rewrites objects (v-1)*c .. v*c-1
        # of its own and keeps the rest: object i was last written by
        # version int(i/c)+2.
        if (p <= 2 && v > 1 && i < (v - 1) * c) seed = seed * 7 + (int(i / c) + 2) * 13
        printf "export -2 0 1 Obj%d 0x00070004 random=65536,%d\n", i, seed
      }
    }' > "$desc"
    ${RUN:-} "$pkgtool" make "$desc" "$dir/System/Pack$p.u" >/dev/null
  done
  printf '[Engine]\nVersion=1.0.0.%s\n' "$v" > "$dir/System/Dovra.ini"
  [ "$v" -lt 3 ] && echo "retired in 1.0.0.3" > "$dir/System/Old.txt"
  if [ -n "$program" ]; then
    cp "$program" "$dir/System/Tool"
    if [ "$v" -ge 3 ]; then printf 'x' >> "$dir/System/Tool"; fi
  fi
  printf 'Version 1.0.0.%s\n\n- sample release notes for 1.0.0.%s\n' "$v" "$v" > "$dir/notes.txt"
done
rm -rf "$work"
