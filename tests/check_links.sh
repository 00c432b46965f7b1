#!/usr/bin/env bash
# Every relative link of the README and the documents names a file that exists.
cd "$(dirname "$0")/.." || exit 1
status=0
for doc in README.md docs/*.md; do
  for target in $(grep -o '\]([^)#:]*[)#]' "$doc" | sed 's/^](//; s/[)#]$//' | grep -v '^$'); do
    [ -e "$(dirname "$doc")/$target" ] || { echo "$doc: no $target"; status=1; }
  done
done
exit $status
