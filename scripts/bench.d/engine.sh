#!/usr/bin/env bash
# The engine file layer on a 64 MiB file: ".uz2" compression and decompression
# against gzip at the same deflate level, and INT-by-INT reading through the
# buffered file reader against cat of the whole file.
set -eu
f="$BENCH_TMP/engine-64m.bin"
# Half random, half repetitive, so that compression has work of both kinds.
[ -f "$f" ] || { head -c $((32 * 1024 * 1024)) /dev/urandom; yes "engine package data" | head -c $((32 * 1024 * 1024)); } > "$f"
cat "$f" > /dev/null

. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

comp=$(best "$BENCH_BIN/engine_bench" compress "$f")
gz=$(best sh -c "gzip -6 -c '$f' > '$f.gz'")
decomp=$(best "$BENCH_BIN/engine_bench" decompress "$f")
gunz=$(best sh -c "gzip -dc '$f.gz' > '$f.gunz'")
cmp -s "$f" "$f.out" || { echo "decompressed copy differs"; exit 1; }
read_t=$(best "$BENCH_BIN/engine_bench" read "$f")
cat_t=$(best cat "$f")
printf 'uz2 compress    %6.3f s  gzip -6 %6.3f s  ratio %.2fx\n' "$comp" "$gz" "$(echo "$gz / $comp" | bc -l)"
printf 'uz2 decompress  %6.3f s  gzip -d %6.3f s  ratio %.2fx\n' "$decomp" "$gunz" "$(echo "$gunz / $decomp" | bc -l)"
printf 'reader INTs     %6.3f s  cat     %6.3f s  ratio %.2fx\n' "$read_t" "$cat_t" "$(echo "$cat_t / $read_t" | bc -l)"
rm -f "$f.uz2" "$f.out" "$f.gz" "$f.gunz"
