#!/usr/bin/env bash
# The checks before an update is trusted: detached signature files, the
# publisher's key list and the version documents, from the kept corpus
# (documents and signatures written by the release format's own writers).
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
fuzz_run signed_fuzzer launcher/release/fuzz_corpus 4096
