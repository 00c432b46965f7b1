#!/usr/bin/env bash
# Removal speed: identical synthetic trees removed by RemoveDirectoryTree
# (through tests/helpers/remove_tree_driver), by "cmd /c rd /s /q" under the
# same Wine, and by native "rm -rf". Runs in its own throw-away prefix.
#   bench/removal_bench.sh [--32] [FOLDERS:FILES ...]
#     default 2000:20000 and 10000:100000 (20,000 files in 2,000 folders, and
#     100,000 files in 10,000 folders); --32: the 32-bit driver and cmd under WoW64
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
harness="$root/tests/harness"
preset=test build="$root/build/x86_64-test" cmd=cmd
if [ "${1:-}" = --32 ]; then
  shift
  preset=test32 build="$root/build/i686-test" cmd='C:\windows\syswow64\cmd.exe'
fi
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(2000:20000 10000:100000)

"$root/scripts/setup.sh" >/dev/null
if [ "$preset" = test32 ] && [ "$(cat "$root/build/wow64")" != yes ]; then
  echo "removal_bench: no 32-bit run here: $(cat "$root/build/wow64")"
  exit 1
fi
(cd "$root" && cmake --preset $preset >/dev/null && cmake --build --preset $preset --target remove_tree_driver >/dev/null)

# shellcheck source=../tests/harness/session.sh
source "$harness/session.sh"
open_session removal-bench
wine=/usr/lib/wine/wine64
drive_c="$WINEPREFIX/drive_c"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
fmt() { printf '%.3f' "$1"; }

# Start-up cost of one Wine process, taken off the wall times below.
cd "$drive_c/work"
"$wine" "$cmd" /c exit >/dev/null 2>&1
t0=$(now); "$wine" "$cmd" /c exit >/dev/null 2>&1; t1=$(now)
startup=$(elapsed "$t0" "$t1")
echo "wine process start-up: $(fmt "$startup") s (taken off the Wine wall times)"

declare -A per_entry
labels=()
for size in "${sizes[@]}"; do
  folders=${size%:*} files=${size#*:}
  label="${files}f_${folders}d"
  labels+=("$label")
  for who in driver rd rm; do
    python3 "$root/bench/make_tree.py" "$drive_c/bench/$label/$who" "$folders" "$files"
  done
  sync

  t0=$(now)
  driver_out=$("$harness/wine-run.sh" "$build/remove_tree_driver.exe" "C:\\bench\\$label\\driver")
  t1=$(now)
  driver_wall=$(elapsed "$t0" "$t1")

  t0=$(now)
  (cd "$drive_c/work" && "$wine" "$cmd" /c rd /s /q "C:\\bench\\$label\\rd" >/dev/null 2>&1)
  t1=$(now)
  rd_wall=$(elapsed "$t0" "$t1")

  t0=$(now); rm -rf "$drive_c/bench/$label/rm"; t1=$(now)
  rm_time=$(elapsed "$t0" "$t1")

  for who in driver rd rm; do
    if [ -e "$drive_c/bench/$label/$who" ]; then echo "WARNING: $who left $label behind"; fi
  done

  driver_net=$(elapsed "$startup" "$driver_wall")
  rd_net=$(elapsed "$startup" "$rd_wall")
  entries=$((folders + files))
  per_entry[$label]=$(echo "$driver_net / $entries * 1000000" | bc -l)
  echo
  echo "tree: $files files in $folders folders ($entries entries)"
  echo "  RemoveDirectoryTree driver: wall $(fmt "$driver_wall") s, net $(fmt "$driver_net") s; driver says: $driver_out"
  echo "  cmd /c rd /s /q:            wall $(fmt "$rd_wall") s, net $(fmt "$rd_net") s"
  echo "  native rm -rf:              $(fmt "$rm_time") s"
  echo "  ratio driver/rd (net): $(fmt "$(echo "$driver_net / $rd_net" | bc -l)")"
  echo "  ratio driver/rm -rf (net): $(fmt "$(echo "$driver_net / $rm_time" | bc -l)")"
  echo "  driver per entry: $(fmt "${per_entry[$label]}") us"
done
[ ${#labels[@]} -gt 1 ] || exit 0
echo
small=${per_entry[${labels[0]}]}
large=${per_entry[${labels[-1]}]}
echo "growth: driver per-entry cost, ${labels[-1]} / ${labels[0]} = $(fmt "$(echo "$large / $small" | bc -l)") (1.0 is linear)"
