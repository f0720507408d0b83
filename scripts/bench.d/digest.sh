#!/usr/bin/env bash
# HashFile on a 512 MiB file against sha1sum and openssl sha1, in one run.
# The file is read once before timing so every contender starts from the page cache.
set -eu
f="$BENCH_TMP/digest-512m.bin"
[ -f "$f" ] || head -c $((512 * 1024 * 1024)) /dev/urandom > "$f"
cat "$f" > /dev/null

. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

ours=$(best "$BENCH_BIN/digest_bench" "$f")
sha1sum_t=$(best sha1sum "$f")
openssl_t=$(best openssl sha1 "$f")
want=$(sha1sum "$f" | cut -c1-40 | tr a-f A-F)
got=$("$BENCH_BIN/digest_bench" "$f" | cut -d' ' -f1)
[ "$want" = "$got" ] || { echo "digest differs: $got vs $want"; exit 1; }
printf 'HashFile   %6.3f s  %6.0f MiB/s\n' "$ours" "$(echo "512 / $ours" | bc -l)"
printf 'sha1sum    %6.3f s  HashFile is %.2fx its speed\n' "$sha1sum_t" "$(echo "$sha1sum_t / $ours" | bc -l)"
printf 'openssl    %6.3f s  HashFile is %.2fx its speed\n' "$openssl_t" "$(echo "$openssl_t / $ours" | bc -l)"

# The signed channel's added checks on the same file, in the same run: the
# SHA-256 after the SHA-1, and (Linux) the sealed copy both are computed over.
sha256_t=$(best "$BENCH_BIN/digest_bench" "$f" --sha256)
want256=$(sha256sum "$f" | cut -c1-64 | tr a-f A-F)
got256=$("$BENCH_BIN/digest_bench" "$f" --sha256 | cut -d' ' -f1)
[ "$want256" = "$got256" ] || { echo "SHA-256 differs: $got256 vs $want256"; exit 1; }
seal_t=$(best "$BENCH_BIN/digest_bench" "$f" --seal)
printf 'SHA-256    %6.3f s  %6.0f MiB/s, %.2fx the SHA-1 time (HashFile %.3f s)\n' "$sha256_t" \
  "$(echo "512 / $sha256_t" | bc -l)" "$(echo "$sha256_t / $ours" | bc -l)" "$ours"
printf 'seal copy  %6.3f s  (the held copy of the package)\n' "$seal_t"
printf 'added to a 512 MiB update: %.3f s (SHA-256 when signed + the sealed copy)\n' "$(echo "$sha256_t + $seal_t" | bc -l)"
