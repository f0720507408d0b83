#!/usr/bin/env bash
# The engine file layer fuzzer: file reader, package value and record
# serialisers, ".uz2" block decoding. Starts from the kept corpus; inputs that
# add coverage are merged back into it.
set -eu
corpus=patcher/engine/fuzz_corpus
work=$(mktemp -d)
trap 'rm -rf "$work" /tmp/engine_fuzz_*' EXIT
"$FUZZ_BIN/engine_fuzzer" -max_total_time="$FUZZ_SECONDS" -max_len=8192 -timeout=10 \
  -rss_limit_mb=256 -print_final_stats=1 "$work" "$corpus"
"$FUZZ_BIN/engine_fuzzer" -merge=1 "$corpus" "$work" >/dev/null 2>&1
echo "engine corpus: $(ls "$corpus" | wc -l) inputs"
