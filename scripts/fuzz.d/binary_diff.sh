#!/usr/bin/env bash
# The binary difference fuzzer: hostile differences applied to a fixed old
# file, and differences made between two inputs applied back; held to 512 MB.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
fuzz_run binary_diff_fuzzer delta_setup/fuzz_corpus 8192 512 -malloc_limit_mb=512
