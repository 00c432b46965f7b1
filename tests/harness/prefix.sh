#!/usr/bin/env bash
# The throw-away Wine prefix and X display of one test run.
#   prefix.sh create DIR   make a prefix in DIR, without the host drive
#   prefix.sh start        start the prefix's wineserver and Xvfb
#                          (prints the DISPLAY to use)
#   prefix.sh stop         stop both
#   prefix.sh check        fail unless every drive of the prefix lies inside it
set -eu
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEDEBUG=${WINEDEBUG:--all}

check() {
  : "${WINEPREFIX:?}"
  local prefix link target
  prefix=$(readlink -f "$WINEPREFIX")
  # Drives, and the shell folders Wine links to the host's home.
  for link in "$WINEPREFIX"/dosdevices/?: "$WINEPREFIX"/drive_c/users/*/*; do
    [ -L "$link" ] || continue
    target=$(readlink -f "$link")
    case "$target/" in
      "$prefix"/*) ;;
      *) echo "prefix.sh: ${link#"$WINEPREFIX"/} maps $target, outside the prefix" >&2; return 1 ;;
    esac
  done
}

create() {
  local dir=$1
  mkdir -p "$dir"
  export WINEPREFIX=$dir
  # No Mono or Gecko installers: the tests need neither.
  WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i </dev/null >/dev/null 2>&1
  "$wineserver" -w
  # Wine maps the host's root as z:; nothing of ours may run while it does.
  rm -f "$dir/dosdevices/z:"
  # Desktop, Documents and the like are links to the host's home: make them
  # real folders of the prefix, so that a removal bug cannot reach the host.
  local folder
  for folder in "$dir"/drive_c/users/*/*; do
    if [ -L "$folder" ]; then rm -f "$folder" && mkdir "$folder"; fi
  done
  check
  # Without a window manager, Wine draws the boxes' captions itself.
  local key='HKCU\Software\Wine\X11 Driver'
  "$wine" reg add "$key" /v Managed /d N /f </dev/null >/dev/null 2>&1
  "$wine" reg add "$key" /v Decorated /d N /f </dev/null >/dev/null 2>&1
  "$wineserver" -w
  mkdir -p "$dir/drive_c/bin" "$dir/drive_c/work"
}

start() {
  : "${WINEPREFIX:?}"
  check
  "$wineserver" -p
  local n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  echo $! > "$WINEPREFIX/.xvfb.pid"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  # Wine's own service processes start here, detached from our output pipes.
  # The desktop process starts with them and stays: it needs the display, or
  # no program of the prefix gets a window.
  DISPLAY=":$n" "$wine" cmd /c exit </dev/null >/dev/null 2>&1
  echo ":$n"
}

stop() {
  : "${WINEPREFIX:?}"
  "$wineserver" -k 2>/dev/null || true
  if [ -f "$WINEPREFIX/.xvfb.pid" ]; then
    kill "$(cat "$WINEPREFIX/.xvfb.pid")" 2>/dev/null || true
    rm -f "$WINEPREFIX/.xvfb.pid"
  fi
}

cmd=${1:?usage: prefix.sh create DIR | start | stop | check}
shift
"$cmd" "$@"
