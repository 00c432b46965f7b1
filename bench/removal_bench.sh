#!/usr/bin/env bash
# Removal speed: identical synthetic trees removed by RemoveDirectoryTree
# (through tests/helpers/remove_tree_driver), by "cmd /c rd /s /q" under the
# same Wine, and by native "rm -rf". Runs in its own throw-away prefix.
#   bench/removal_bench.sh [--32] [--no-rd] [FOLDERS:FILES | chain:DEPTH:LENGTH ...]
#     default 2000:20000 and 10000:100000 (20,000 files in 2,000 folders, and
#     100,000 files in 10,000 folders); chain:2000:15 is a chain of 2,000
#     nested folders with 15-character names, each holding one file;
#     --32: the 32-bit driver and cmd under WoW64; --no-rd: rd is not run.
#     The spread trees' figures also go, as a table, to out/bench/removal.txt
#     and, drawn by gnuplot (installed when missing), to out/bench/removal.png
#   bench/removal_bench.sh [--32] --window ROUNDS [FOLDERS:FILES ...]
#     the removal without and with the uninstaller's progress window, in
#     ROUNDS rounds of four (without, with, with, without: a drift of the
#     shared machine weighs on both alike), each tree made just before it is
#     removed; wall time, the driver's processor time and the Wine server's,
#     their medians, and with/without
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
harness="$root/tests/harness"
preset=test build="$root/build/x86_64-test" cmd=cmd
run_rd=yes window_rounds=0
while [ $# -gt 0 ]; do
  case $1 in
    --32) preset=test32 build="$root/build/i686-test" cmd='C:\windows\syswow64\cmd.exe' ;;
    --no-rd) run_rd=no ;;
    --window) window_rounds=$2; shift ;;
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

# Processor seconds the session's own Wine server has used so far (other
# sessions on the machine have theirs).
server_cpu() {
  local pid
  for pid in $(pgrep wineserver); do
    if { tr '\0' '\n' < "/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$pid/stat"
      return
    fi
  done
  echo 0
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

if [ "$window_rounds" -gt 0 ]; then
  for size in "${sizes[@]}"; do
    folders=${size%:*} files=${size#*:}
    echo
    echo "tree: $files files in $folders folders ($((folders + files)) entries), $window_rounds rounds"
    declare -A walls=() cpus=() servers=()
    for round in $(seq "$window_rounds"); do
      for mode in without with with without; do
        python3 "$root/bench/make_tree.py" "$drive_c/bench/w" "$folders" "$files"
        sync
        flag=; [ $mode = without ] || flag=--window
        s0=$(server_cpu); t0=$(now)
        out=$("$harness/wine-run.sh" "$build/remove_tree_driver.exe" $flag 'C:\bench\w') || out="$out (exit $?)"
        t1=$(now); s1=$(server_cpu)
        [ -e "$drive_c/bench/w" ] && { echo "WARNING: left behind: $(what_stayed "$drive_c/bench/w")"; rm -rf "$drive_c/bench/w"; }
        cpu=${out#*cpu=}; cpu=${cpu%% *}
        server=$(echo "$s1 - $s0" | bc -l)
        walls[$mode]+="$(elapsed "$t0" "$t1") " cpus[$mode]+="$cpu " servers[$mode]+="$server "
        echo "  round $round, $mode the window: wall $(fmt "$(elapsed "$t0" "$t1")") s, driver cpu $cpu s, wine server cpu $(fmt "$server") s; $out"
      done
    done
    for mode in without with; do
      eval "m_wall_$mode=$(echo "${walls[$mode]}" | tr ' ' '\n' | grep . | median)"
      eval "m_cpu_$mode=$(echo "${cpus[$mode]}" | tr ' ' '\n' | grep . | median)"
      eval "m_server_$mode=$(echo "${servers[$mode]}" | tr ' ' '\n' | grep . | median)"
    done
    echo "  medians without: wall $(fmt "$m_wall_without") s, driver cpu $(fmt "$m_cpu_without") s, wine server cpu $(fmt "$m_server_without") s"
    echo "  medians with:    wall $(fmt "$m_wall_with") s, driver cpu $(fmt "$m_cpu_with") s, wine server cpu $(fmt "$m_server_with") s"
    echo "  with/without: wall $(fmt "$(echo "$m_wall_with / $m_wall_without" | bc -l)"), driver and server cpu $(fmt "$(echo "($m_cpu_with + $m_server_with) / ($m_cpu_without + $m_server_without)" | bc -l)")"
  done
  exit 0
fi

declare -A per_entry
labels=() table_rows=()
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
  if [[ $size != chain:* ]]; then
    rd_column=-
    [ $run_rd = no ] || [ -e "$drive_c/bench/$label/rd" ] || rd_column=$(fmt "$rd_net")
    table_rows+=("$entries $(fmt "$driver_net") $rd_column $(fmt "$rm_time")")
  fi
done

# The table, and its plot: entries against seconds for each remover.
if [ ${#table_rows[@]} -gt 0 ]; then
  out="$root/out/bench"
  mkdir -p "$out"
  {
    echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $([ $preset = test ] && echo 64-bit || echo 32-bit) build under Wine; seconds, Wine's start-up taken off"
    echo "# entries uninstall.exe rd/s/q rm-rf"
    printf '%s\n' "${table_rows[@]}"
  } > "$out/removal.txt"
  echo
  echo "table ($out/removal.txt):"
  grep '^#' "$out/removal.txt"
  grep -v '^#' "$out/removal.txt" | column -t
  if ! command -v gnuplot >/dev/null; then
    (apt-get install -y -qq --no-install-recommends gnuplot-nox || \
      (apt-get update -qq && apt-get install -y -qq --no-install-recommends gnuplot-nox)) >/dev/null 2>&1 || true
  fi
  if command -v gnuplot >/dev/null; then
    gnuplot <<PLOT && echo "plot: $out/removal.png"
set terminal png size 720,440
set output "$out/removal.png"
set title "Removing a tree under Wine ($([ $preset = test ] && echo 64-bit || echo 32-bit, WoW64) build)"
set xlabel "entries (files and folders)"
set ylabel "seconds"
set key top left
set grid
set datafile missing "-"
plot "$out/removal.txt" using 1:2 with linespoints title "uninstall.exe (RemoveDirectoryTree)", \
     "" using 1:3 with linespoints title "cmd /c rd /s /q", \
     "" using 1:4 with linespoints title "rm -rf (Linux)"
PLOT
  else
    echo "removal_bench: no plot: gnuplot is missing and could not be installed; the table stands"
  fi
fi
# Growth is taken over the spread trees; a chain is not of their shape.
[ ${#labels[@]} -gt 1 ] || exit 0
echo
small=${per_entry[${labels[0]}]}
large=${per_entry[${labels[-1]}]}
echo "growth: driver per-entry cost, ${labels[-1]} / ${labels[0]} = $(fmt "$(echo "$large / $small" | bc -l)") (1.0 is linear)"
