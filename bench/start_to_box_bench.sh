#!/usr/bin/env bash
# How long a user waits between starting uninstall.exe and seeing its
# confirmation box. The start event's exchange lies in between, so the wait
# is measured with the collector on loopback and with it unreachable: a port
# where nothing listens, a collector that takes the request and never
# answers, one that trickles its TLS handshake, and one that holds every
# connection 8 s (each bounded by the report's deadline). The time from the answer (Cancel) to the end, which
# holds the closing event's exchange, is noted too; then, in one run answered
# with OK, the time from the end of the removal to the last box (the success
# event's exchange runs beside that box) and from closing it to the end.
#   bench/start_to_box_bench.sh [--32] [RUNS]   (default 5 runs per setting;
#     --32: the 32-bit test build under WoW64)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
preset=test bin="$root/build/x86_64-test"
if [ "${1:-}" = --32 ]; then
  shift
  preset=test32 bin="$root/build/i686-test"
fi
runs=${1:-5}
"$root/scripts/setup.sh" >/dev/null
if [ "$preset" = test32 ] && [ "$(cat "$root/build/wow64")" != yes ]; then
  echo "start_to_box_bench: no 32-bit run here: $(cat "$root/build/wow64")"
  exit 1
fi
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
cmake --preset $preset >/dev/null && cmake --build --preset $preset >/dev/null

harness="$root/tests/harness"
# shellcheck source=../tests/harness/session.sh
source "$harness/session.sh"
UNINSTALL_BUILD_DIR=$bin open_session uninstall-bench services
# shellcheck source=../scripts/sample_game.sh
source "$root/scripts/sample_game.sh"
lay_out_sample_game "$bin"

measure() { # label port
  echo "== $1 (telemetry port $2), $runs runs"
  UNINSTALL_TELEMETRY_PORT=$2 "$harness/wine-run.sh" "$bin/start_to_box_timer.exe" \
    "${SAMPLE_WINAPP}uninstall.exe" "Demo Quest Unistall" "$runs" | sed 's/^/   /'
  rm -f "$WINEPREFIX/drive_c/work/bench_end.log"
  UNINSTALL_TELEMETRY_PORT=$2 "$harness/wine-run.sh" "$bin/start_to_box_timer.exe" \
    "${SAMPLE_WINAPP}uninstall.exe" "Demo Quest Unistall" ok 'C:\work\bench_end.log' | sed 's/^/   OK: /'
  lay_out_sample_game "$bin"  # for the next setting
}
measure "collector on loopback" "$COLLECTOR_PORT"
measure "collector unreachable: nothing listens" "$COLLECTOR_CLOSED_PORT"
measure "collector unreachable: takes the request, never answers" "$COLLECTOR_SILENT_PORT"
measure "collector trickles its handshake, a byte every 3 s" "$COLLECTOR_TRICKLE_PORT"
measure "collector holds every connection 8 s before its handshake" "$COLLECTOR_SLOW_PORT"
