#!/usr/bin/env bash
# Removal speed: identical synthetic trees removed by RemoveDirectoryTree
# (through tests/helpers/remove_tree_driver), by "cmd /c rd /s /q" under the
# same Wine, and by native "rm -rf". Runs in its own throw-away prefix.
#   bench/removal_bench.sh [--32] [--no-rd] [FOLDERS:FILES | chain:DEPTH:LENGTH ...]
#     default 2000:20000 and 10000:100000 (20,000 files in 2,000 folders, and
#     100,000 files in 10,000 folders); chain:2000:15 is a chain of 2,000
#     nested folders with 15-character names, each holding one file;
#     --32: the 32-bit driver and cmd under WoW64; --no-rd: rd is not run
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
harness="$root/tests/harness"
preset=test build="$root/build/x86_64-test" cmd=cmd
run_rd=yes
while [ $# -gt 0 ]; do
  case $1 in
    --32) preset=test32 build="$root/build/i686-test" cmd='C:\windows\syswow64\cmd.exe' ;;
    --no-rd) run_rd=no ;;
    *) break ;;
  esac
  shift
done
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

# What stays of a tree below the host folder $1, or "nothing".
what_stayed() {
  [ -e "$1" ] || { echo nothing; return; }
  find "$1" -printf '%d %y\n' | awk '
    $2 == "d" { folders++ } $1 > deepest { deepest = $1 }
    $2 != "d" { files++; if (files == 1 || $1 - 1 < shallowest) shallowest = $1 - 1 }
    END { printf "%d folders (the root among them), %d files (the shallowest in a folder %d levels below the root), deepest entry %d levels below the root\n",
                 folders, files, shallowest, deepest }'
}

declare -A per_entry
labels=()
for size in "${sizes[@]}"; do
  whos=(driver rm)
  [ $run_rd = no ] || whos=(driver rd rm)
  if [[ $size == chain:* ]]; then
    IFS=: read -r _ depth length <<< "$size"
    label="chain_${depth}x${length}"
    folders=$depth files=$depth
    for who in "${whos[@]}"; do
      below=$(python3 "$root/bench/make_tree.py" "$drive_c/bench/$label/$who" "$size")
    done
    # The deepest file's path as the driver's root names it, with the \\?\ prefix.
    longest=$((4 + ${#label} + 16 + below))
    echo
    echo "chain: $depth folders of $length-character names; the deepest file's path is $longest characters with the \\\\?\\ prefix (Windows allows 32,767)"
    # Wine reaches it through the host's path, which has its own limit (PATH_MAX).
    echo "  its host path under Wine is $((${#drive_c} + 7 + ${#label} + 7 + below)) characters"
    [ $longest -lt 32767 ] || { echo "removal_bench: the chain does not fit a Windows path"; exit 1; }
  else
    folders=${size%:*} files=${size#*:}
    label="${files}f_${folders}d"
    labels+=("$label")
    for who in "${whos[@]}"; do
      python3 "$root/bench/make_tree.py" "$drive_c/bench/$label/$who" "$folders" "$files"
    done
  fi
  sync

  t0=$(now)
  driver_out=$("$harness/wine-run.sh" "$build/remove_tree_driver.exe" "C:\\bench\\$label\\driver") ||
    driver_out="${driver_out:-nothing} (exit $?)"
  t1=$(now)
  driver_wall=$(elapsed "$t0" "$t1")

  if [ $run_rd = yes ]; then
    t0=$(now)
    (cd "$drive_c/work" && "$wine" "$cmd" /c rd /s /q "C:\\bench\\$label\\rd" >/dev/null 2>&1) || true
    t1=$(now)
    rd_wall=$(elapsed "$t0" "$t1")
  fi

  t0=$(now); rm -rf "$drive_c/bench/$label/rm"; t1=$(now)
  rm_time=$(elapsed "$t0" "$t1")

  for who in "${whos[@]}"; do
    if [ -e "$drive_c/bench/$label/$who" ]; then
      echo "WARNING: $who left $label behind: $(what_stayed "$drive_c/bench/$label/$who")"
    fi
  done

  driver_net=$(elapsed "$startup" "$driver_wall")
  entries=$((folders + files))
  per_entry[$label]=$(echo "$driver_net / $entries * 1000000" | bc -l)
  echo
  echo "tree: $files files in $folders folders ($entries entries)"
  echo "  RemoveDirectoryTree driver: wall $(fmt "$driver_wall") s, net $(fmt "$driver_net") s; driver says: $driver_out"
  peak_kb=${driver_out##*peak_kb=}
  echo "  driver peak working set: $(fmt "$(echo "${peak_kb%% *} / 1024" | bc -l)") MB"
  echo "  driver's root: $(what_stayed "$drive_c/bench/$label/driver")" | sed 's/: nothing$/: gone/'
  if [ $run_rd = yes ]; then
    rd_net=$(elapsed "$startup" "$rd_wall")
    echo "  cmd /c rd /s /q:            wall $(fmt "$rd_wall") s, net $(fmt "$rd_net") s$(
      [ -e "$drive_c/bench/$label/rd" ] && echo "; left the tree behind, no ratio")"
  else
    echo "  cmd /c rd /s /q:            not run (--no-rd)"
  fi
  echo "  native rm -rf:              $(fmt "$rm_time") s"
  [ $run_rd = no ] || [ -e "$drive_c/bench/$label/rd" ] || echo "  ratio driver/rd (net): $(fmt "$(echo "$driver_net / $rd_net" | bc -l)")"
  echo "  ratio driver/rm -rf (net): $(fmt "$(echo "$driver_net / $rm_time" | bc -l)")"
  echo "  driver per entry: $(fmt "${per_entry[$label]}") us"
done
# Growth is taken over the spread trees; a chain is not of their shape.
[ ${#labels[@]} -gt 1 ] || exit 0
echo
small=${per_entry[${labels[0]}]}
large=${per_entry[${labels[-1]}]}
echo "growth: driver per-entry cost, ${labels[-1]} / ${labels[0]} = $(fmt "$(echo "$large / $small" | bc -l)") (1.0 is linear)"
