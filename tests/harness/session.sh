#!/usr/bin/env bash
# Sourced by the test, demonstration and benchmark commands:
#   open_session NAME [services]
# makes a throw-away Wine prefix under /tmp (without the host drive), starts
# its wineserver and an Xvfb display and, with "services", the collectors and
# the link service (their variables are exported). Everything is stopped and
# removed when the calling script exits. Sets SESSION_DIR.

session_harness=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

close_session() {
  "$session_harness/services.sh" stop || true
  "$session_harness/prefix.sh" stop || true
  rm -rf "$SESSION_DIR"
}

open_session() {
  SESSION_DIR=$(mktemp -d "/tmp/$1.XXXXXX")
  # A home of its own: Wine writes menu entries and links below $HOME.
  export WINEPREFIX="$SESSION_DIR/prefix" WINEDEBUG=-all HOME="$SESSION_DIR/home"
  mkdir -p "$HOME"
  trap close_session EXIT
  "$session_harness/prefix.sh" create "$WINEPREFIX"
  DISPLAY=$("$session_harness/prefix.sh" start)
  export DISPLAY
  if [ "${2:-}" = services ]; then
    "$session_harness/services.sh" start "$SESSION_DIR" >/dev/null
    # shellcheck disable=SC1091
    source "$SESSION_DIR/services.env"
  fi
}
