#!/usr/bin/env bash
# The setup program's install journal (ParseJournal, and the match of a
# journal to its package), from the kept corpus: journals written by
# JournalText for a delta and a full package, and the staging record.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
fuzz_run journal_fuzzer delta_setup/fuzz_corpus/journal 4096
