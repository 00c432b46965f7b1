#!/usr/bin/env bash
# Guards against accidental bloat: the stripped 32-bit release program stays
# under 2 MiB and carries no symbol table.
set -u
exe=${1:?usage: check_release_size.sh EXE}
[ -f "$exe" ] || { echo "FAIL: $exe does not exist"; exit 1; }
size=$(stat -c %s "$exe")
limit=$((2 * 1024 * 1024))
echo "$exe: $size bytes (limit $limit)"
[ "$size" -lt "$limit" ] || { echo "FAIL: over the limit"; exit 1; }
if objdump -t "$exe" 2>/dev/null | grep -q -E '^\[ *[0-9]+\]'; then
  echo "FAIL: not stripped"
  exit 1
fi
