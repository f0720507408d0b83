#!/usr/bin/env bash
# The patch tool's fuzzers: LoadSummary on arbitrary bytes, and Compose (then
# Save) with an arbitrary difference file against a fixed package, each held
# to 256 MB so that an input demanding unbounded memory is caught. Each runs
# from its kept corpus.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
status=0
for target in summary compose; do
  fuzz_run "${target}_fuzzer" "patcher/fuzz_corpus/$target" 4096 256 -malloc_limit_mb=256 || status=1
done
exit $status
