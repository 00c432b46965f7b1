#!/usr/bin/env bash
# Prints the non-blank lines of the tests (everything under tests/) against
# those of the product's sources, and their ratio; text files only.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -- "$@" | while read -r f; do grep -Iq . "$f" && grep -cv '^[[:space:]]*$' "$f"; done |
  awk '{ s += $1 } END { print s + 0 }'; }
tests=$(count tests) product=$(count app cleanup common profile telemetry res)
printf "test lines: %d against %d of the product, ratio %.2f\n" "$tests" "$product" "$(echo "$tests / $product" | bc -l)"
