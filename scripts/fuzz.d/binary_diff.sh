#!/usr/bin/env bash
# The binary difference fuzzer: hostile differences applied to a fixed old
# file, and differences made between two inputs applied back.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
fuzz_run binary_diff_fuzzer delta_setup/fuzz_corpus/binary_diff 8192
