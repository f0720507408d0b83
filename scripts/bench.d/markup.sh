#!/usr/bin/env bash
# MarkupDocument parsing a 10 MB journal-like document, against pugixml in
# the same run (median of five repetitions each, CPU time).
set -eu
csv=$("$BENCH_BIN/markup_bench" --benchmark_format=csv --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>/dev/null)
echo "$csv" | awk -F, '
  $1 == "\"BM_MarkupDocument_median\"" { ours = $6 }
  $1 == "\"BM_Pugixml_median\"" { peer = $6 }
  END {
    if (ours == 0 || peer == 0) { print "markup_bench gave no figures"; exit 1 }
    printf "MarkupDocument  %7.1f MiB/s\n", ours / 1048576
    printf "pugixml         %7.1f MiB/s  MarkupDocument is %.2fx its speed\n", peer / 1048576, ours / peer
  }'
