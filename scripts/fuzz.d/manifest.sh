#!/usr/bin/env bash
# The release package manifest the setup program reads (ParseManifest, then
# the blob checks of the installer), from the kept corpus: a delta and a full
# package's payload written by PayloadWriter.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
fuzz_run manifest_fuzzer delta_setup/fuzz_corpus/manifest 4096
