#!/usr/bin/env bash
# Services that the tests talk to, started once per run after the prefix.
#   services.sh start RUN_DIR   start them (WINEPREFIX must name the prefix)
#   services.sh stop            stop them
set -eu
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?}"
pids="$WINEPREFIX/.service.pids"

start() {
  local run_dir=$1
  # Symlinks and drive mappings on request (C:\work\.link-requests).
  python3 "$here/link_service.py" "$WINEPREFIX" "$WINEPREFIX/drive_c/work/.link-requests" \
    </dev/null >"$run_dir/link_service.log" 2>&1 &
  echo $! >> "$pids"
}

stop() {
  [ -f "$pids" ] || return 0
  while read -r pid; do kill "$pid" 2>/dev/null || true; done < "$pids"
  rm -f "$pids"
}

cmd=${1:?usage: services.sh start RUN_DIR | stop}
shift
"$cmd" "$@"
