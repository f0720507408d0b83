#!/usr/bin/env bash
# The patch tool's fuzzers: LoadSummary on arbitrary bytes, and Compose (then
# Save) with an arbitrary difference file against a fixed package, each held
# to 256 MB so that an input demanding unbounded memory is caught. Each runs
# for FUZZ_SECONDS from its kept corpus; inputs that add coverage are merged
# back into it.
set -eu
status=0
for target in summary compose; do
  corpus=patcher/fuzz_corpus/$target
  mkdir -p "$corpus"
  work=$(mktemp -d)
  "$FUZZ_BIN/${target}_fuzzer" -max_total_time="$FUZZ_SECONDS" -max_len=4096 -timeout=10 \
    -rss_limit_mb=256 -malloc_limit_mb=256 -print_final_stats=1 "$work" "$corpus" || status=1
  "$FUZZ_BIN/${target}_fuzzer" -merge=1 "$corpus" "$work" >/dev/null 2>&1 || true
  rm -rf "$work"
  echo "gleaner $target corpus: $(ls "$corpus" | wc -l) inputs"
done
exit $status
