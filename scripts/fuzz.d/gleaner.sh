#!/usr/bin/env bash
# The patch tool's fuzzers: LoadSummary on arbitrary bytes, and Compose (then
# Save) with an arbitrary difference file against a fixed package, so that an
# input demanding unbounded memory is caught by the common limit. Each runs
# from its kept corpus.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
status=0
for target in summary compose; do
  fuzz_run "${target}_fuzzer" "patcher/fuzz_corpus/$target" 4096 || status=1
done
exit $status
