#!/usr/bin/env bash
# The markup document fuzzer: parsing plus cursor and edit operations.
# Starts from the kept corpus; inputs that add coverage are merged back into it.
set -eu
corpus=launcher/markup/fuzz_corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$FUZZ_BIN/markup_fuzzer" -max_total_time="$FUZZ_SECONDS" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 "$work" "$corpus"
"$FUZZ_BIN/markup_fuzzer" -merge=1 "$corpus" "$work" >/dev/null 2>&1
echo "markup corpus: $(ls "$corpus" | wc -l) inputs"
