#!/usr/bin/env bash
# The throw-away Wine prefix of one run of the tests, the demonstration or a
# benchmark. Sourced, then:
#   open_session NAME [services]
# makes a prefix below /tmp whose drives and shell folders all lie inside it,
# an X display and a persistent wineserver for it, and with "services" the
# loopback collectors and the tests' request service (services.py), whose
# variables it exports; UNINSTALL_BUILD_DIR names the build whose helper
# trusts the collectors' test authority. Everything stops and goes when the
# sourcing script exits. Sets SESSION_DIR, WINEPREFIX and DISPLAY.
session_harness=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
session_wine=/usr/lib/wine/wine64
session_wineserver=/usr/lib/wine/wineserver

quiet() { "$@" </dev/null >/dev/null 2>&1; }

# Fails unless every drive and shell folder of WINEPREFIX lies inside it.
check_prefix() {
  local prefix link target
  prefix=$(readlink -f "${WINEPREFIX:?}")
  for link in "$WINEPREFIX"/dosdevices/?: "$WINEPREFIX"/drive_c/users/*/*; do
    [ -L "$link" ] || continue
    target=$(readlink -f "$link")
    case "$target/" in
      "$prefix"/*) ;;
      *) echo "session: ${link#"$WINEPREFIX"/} maps $target, outside the prefix" >&2; return 1 ;;
    esac
  done
}

open_session() {
  SESSION_DIR=$(mktemp -d "/tmp/$1.XXXXXX")
  # A home of its own: Wine writes menu entries and links below $HOME.
  export WINEPREFIX=$SESSION_DIR/prefix HOME=$SESSION_DIR/home WINEDEBUG=-all
  mkdir -p "$HOME"
  trap close_session EXIT
  # The display comes first: Wine's desktop process starts with the prefix
  # and stays, and without a display no program of the prefix gets a window.
  local n=90 link value
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  echo $! >> "$SESSION_DIR/pids"
  export DISPLAY=:$n
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  # No Mono or Gecko installers: nothing here needs them.
  WINEDLLOVERRIDES="mscoree,mshtml=" quiet "$session_wine" wineboot -i
  "$session_wineserver" -w
  # Wine maps the host's root as z: and links Desktop, Documents and the like
  # to the host's home; nothing of ours may run while it does.
  rm -f "$WINEPREFIX/dosdevices/z:"
  for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
  done
  check_prefix
  # Without a window manager, Wine draws the boxes' captions itself.
  for value in Managed Decorated; do
    quiet "$session_wine" reg add 'HKCU\Software\Wine\X11 Driver' /v $value /d N /f
  done
  mkdir -p "$WINEPREFIX/drive_c/bin" "$WINEPREFIX/drive_c/work/collector"
  # Wine's service processes start now, detached from the caller's pipes:
  # otherwise every program waits for them to let go of its output.
  "$session_wineserver" -w
  "$session_wineserver" -p
  quiet "$session_wine" cmd /c exit
  if [ "${2:-}" = services ]; then start_services; fi
}

# A test authority made for this session and trusted in the prefix's machine
# Root store, its certificates, and the services.
start_services() {
  local certs=$SESSION_DIR/certs name cn
  mkdir -p "$certs"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Uninstall Test CA" -keyout "$certs/ca.key" \
    -out "$certs/ca.pem" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  for name in localhost=DNS:localhost,IP:127.0.0.1,IP:::1 otherhost=DNS:collector.other.test; do
    cn=${name#*=DNS:}
    openssl req -newkey rsa:2048 -nodes -subj "/CN=${cn%%,*}" -keyout "$certs/${name%%=*}.key" \
      -out "$certs/request.csr" 2>/dev/null
    printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "${name#*=}" > "$certs/request.ext"
    openssl x509 -req -in "$certs/request.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial -days 2 \
      -extfile "$certs/request.ext" -out "$certs/${name%%=*}.pem" 2>/dev/null
  done
  openssl x509 -in "$certs/ca.pem" -outform der -out "$WINEPREFIX/drive_c/work/collector/ca.der"
  : > "$WINEPREFIX/drive_c/work/collector/requests.jsonl"
  python3 "$session_harness/services.py" "$WINEPREFIX" "$certs" "$WINEPREFIX/drive_c/work/collector/requests.jsonl" \
    "$SESSION_DIR/services.env" </dev/null >"$SESSION_DIR/services.log" 2>&1 &
  echo $! >> "$SESSION_DIR/pids"
  for _ in $(seq 200); do [ -f "$SESSION_DIR/services.env" ] && break; sleep 0.05; done
  # shellcheck disable=SC1091
  source "$SESSION_DIR/services.env"
  export COLLECTOR_RECORDS='C:\work\collector\requests.jsonl' UNINSTALL_TELEMETRY_PORT=$COLLECTOR_PORT
  HELPER=trust "$session_harness/wine-run.sh" "${UNINSTALL_BUILD_DIR:-$session_harness/../../build/x86_64-test}/helper.exe" \
    'C:\work\collector\ca.der' </dev/null
}

close_session() {
  local pid
  if [ -f "$SESSION_DIR/pids" ]; then
    while read -r pid; do kill "$pid" 2>/dev/null || true; done < "$SESSION_DIR/pids"
  fi
  "$session_wineserver" -k 2>/dev/null || true
  rm -rf "$SESSION_DIR"
}
