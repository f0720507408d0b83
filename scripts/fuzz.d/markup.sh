#!/usr/bin/env bash
# The markup document fuzzer: parsing plus cursor and edit operations, from
# the kept corpus.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
fuzz_run markup_fuzzer launcher/markup/fuzz_corpus 4096
