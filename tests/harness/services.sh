#!/usr/bin/env bash
# Services that the tests talk to, started once per run after the prefix.
#   services.sh start RUN_DIR   start them (WINEPREFIX must name the prefix)
#   services.sh stop            stop them
#   services.sh certs DIR       only make a test authority (ca.pem, ca.der)
#                               and certificates localhost.pem/.key and
#                               otherhost.pem/.key in DIR, for running
#                               collector.py by hand
# Start writes RUN_DIR/services.env: the variables the tests read (sourced by
# scripts/test.sh before ctest).
#
# The telemetry collectors all run on loopback with certificates from a test
# authority made for this run and trusted in the prefix's machine Root store:
#   COLLECTOR_PORT             answers 200 (443 when free)
#   COLLECTOR_ERROR_PORT       answers 500 with a body
#   COLLECTOR_SILENT_PORT      accepts and never answers
#   COLLECTOR_WRONG_HOST_PORT  answers 200, with a certificate for another name
#   COLLECTOR_CLOSED_PORT      nothing listens
#   COLLECTOR_RECORDS          Windows path of the requests, one JSON line each
#   UNINSTALL_TELEMETRY_PORT   the port the test build reports to
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
pids="${WINEPREFIX:-}/.service.pids"
[ "${1:-}" = certs ] || : "${WINEPREFIX:?}"
build=${UNINSTALL_BUILD_DIR:-$root/build/x86_64-test}

make_certificates() { # dir
  local dir=$1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Uninstall Test CA" \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2>/dev/null
  openssl x509 -in "$dir/ca.pem" -outform der -out "$dir/ca.der"
  local name cn san
  for name in localhost otherhost; do
    if [ "$name" = localhost ]; then
      cn=localhost san="DNS:localhost,IP:127.0.0.1,IP:::1"
    else
      cn=collector.other.test san="DNS:collector.other.test"
    fi
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$cn" \
      -keyout "$dir/$name.key" -out "$dir/$name.csr" 2>/dev/null
    printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' "$san" \
      > "$dir/$name.ext"
    openssl x509 -req -in "$dir/$name.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
      -CAcreateserial -days 2 -extfile "$dir/$name.ext" -out "$dir/$name.pem" 2>/dev/null
  done
}

# Starts one collector and prints its port. A wanted port that is taken (a
# parallel run holds 443) falls back to one the system picks.
start_collector() { # run_dir mode cert port
  local run_dir=$1 mode=$2 cert=$3 port=$4 port_file
  port_file="$run_dir/collector-$mode-$cert.port"
  for try in "$port" 0; do
    rm -f "$port_file"
    python3 "$here/collector.py" --mode "$mode" --port "$try" --port-file "$port_file" \
      --cert "$run_dir/certs/$cert.pem" --key "$run_dir/certs/$cert.key" \
      --records "$records" </dev/null >>"$run_dir/collector.log" 2>&1 &
    local pid=$!
    for _ in $(seq 100); do
      [ -f "$port_file" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    if [ -f "$port_file" ]; then
      echo "$pid" >> "$pids"
      cat "$port_file"
      return 0
    fi
    kill "$pid" 2>/dev/null || true
  done
  echo "services.sh: collector $mode did not start" >&2
  return 1
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start() {
  local run_dir=$1
  # Symlinks and drive mappings on request (C:\work\.requests).
  python3 "$here/link_service.py" "$WINEPREFIX" "$WINEPREFIX/drive_c/work/.requests" \
    </dev/null >"$run_dir/link_service.log" 2>&1 &
  echo $! >> "$pids"

  mkdir -p "$run_dir/certs" "$WINEPREFIX/drive_c/work/collector"
  make_certificates "$run_dir/certs"
  cp "$run_dir/certs/ca.der" "$WINEPREFIX/drive_c/work/collector/ca.der"
  HELPER=trust "$here/wine-run.sh" "$build/helper.exe" 'C:\work\collector\ca.der' \
    </dev/null >>"$run_dir/collector.log" 2>&1
  records="$WINEPREFIX/drive_c/work/collector/requests.jsonl"
  : > "$records"

  local ok error silent wrong closed
  ok=$(start_collector "$run_dir" ok localhost 443)
  error=$(start_collector "$run_dir" error500 localhost 0)
  silent=$(start_collector "$run_dir" silent localhost 0)
  wrong=$(start_collector "$run_dir" ok otherhost 0)
  closed=$(free_port)
  cat > "$run_dir/services.env" <<ENV
export COLLECTOR_PORT=$ok
export COLLECTOR_ERROR_PORT=$error
export COLLECTOR_SILENT_PORT=$silent
export COLLECTOR_WRONG_HOST_PORT=$wrong
export COLLECTOR_CLOSED_PORT=$closed
export COLLECTOR_RECORDS='C:\\work\\collector\\requests.jsonl'
export UNINSTALL_TELEMETRY_PORT=$ok
ENV
}

certs() {
  mkdir -p "$1"
  make_certificates "$1"
}

stop() {
  [ -f "$pids" ] || return 0
  while read -r pid; do kill "$pid" 2>/dev/null || true; done < "$pids"
  rm -f "$pids"
}

cmd=${1:?usage: services.sh start RUN_DIR | stop | certs DIR}
shift
"$cmd" "$@"
