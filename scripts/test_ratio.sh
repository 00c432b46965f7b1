#!/usr/bin/env bash
# Prints the non-blank lines of the scenario tests (tests/*_test.cpp) against
# those of the product's sources, and their ratio, then the harness that runs
# them against the real system (everything else under tests/), counted apart;
# text files only.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -- "$@" | while read -r f; do grep -Iq . "$f" && grep -cv '^[[:space:]]*$' "$f"; done |
  awk '{ s += $1 } END { print s + 0 }'; }
scenarios=$(count 'tests/*_test.cpp') all=$(count tests) product=$(count app cleanup common profile telemetry res)
printf "scenario test lines: %d against %d of the product, ratio %.2f; harness (apart): %d lines\n" \
  "$scenarios" "$product" "$(echo "$scenarios / $product" | bc -l)" "$((all - scenarios))"
