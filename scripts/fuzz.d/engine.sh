#!/usr/bin/env bash
# The engine file layer fuzzer: file reader, package value and record
# serialisers, ".uz2" block decoding, from the kept corpus.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
trap 'rm -f /tmp/engine_fuzz_*' EXIT
fuzz_run engine_fuzzer patcher/engine/fuzz_corpus 8192
