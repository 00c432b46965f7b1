#!/usr/bin/env bash
# The release program as a user runs it: started from the sample game's
# folder it relocates and asks; after Cancel the game's entries are back and
# nothing is gone, after OK the game is gone and the other game stays.
#   release_smoke.sh UNINSTALL_EXE TEST_BUILD_DIR
# Runs in the test session (WINEPREFIX, DISPLAY); the test build answers the
# boxes. The program reports to the production host, so it runs in a network
# namespace of its own with no route at all; the wineserver and the X display
# are reached through Unix sockets in /tmp, which do not depend on it.
set -euo pipefail
exe=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?}" "${DISPLAY:?}"
[ -f "$exe" ] || { echo "FAIL: $exe does not exist"; exit 1; }
# shellcheck source=sample_game.sh
source "$here/sample_game.sh"
lay_out_sample_game "$build" "$exe"
lib=$SAMPLE_LIB
work="$WINEPREFIX/drive_c/work/smoke"
mkdir -p "$work"
boxes="$work/boxes.txt" ns="$work/netns"
: > "$boxes"
caption="Demo Quest Unistall"
question="Are you sure you want to completely remove Demo Quest and all of its components?"
fail() { echo "FAIL: $*"; exit 1; }

ours() { # pids of the program's processes whose command line has $1
  local pid
  for pid in $(pgrep -f -- "$1"); do
    [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null)" = "$NS" ] && echo "$pid"
  done
  return 0
}

# Starts uninstall.exe in a new network namespace; sets NS to its id once the
# namespace is known to have only the loopback interface and no route.
start_uninstall() {
  rm -f "$ns"
  (cd "$SAMPLE_APP" && unshare -n bash -c '
    links=$(tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d " ")
    routes=$(tail -n +2 /proc/net/route)
    # A fresh namespace holds only IPv6 reject routes (flag 0x200).
    while read -r _ _ _ _ _ _ _ _ flags dev; do
      (( 0x$flags & 0x200 )) || routes+=" $dev"
    done < <(cat /proc/net/ipv6_route 2>/dev/null)
    if [ -n "$routes" ] || [ "$links" != lo ]; then echo "open: $links, routes $routes" > "$1"; exit 1; fi
    readlink /proc/self/ns/net > "$1"
    exec /usr/lib/wine/wine64 "$2"' bash "$ns" "${SAMPLE_WINAPP}uninstall.exe" \
    </dev/null >>"$work/program.log" 2>&1 &)
  for _ in $(seq 50); do [ -s "$ns" ] && break; sleep 0.1; done
  [ -s "$ns" ] || fail "no network namespace was made (unshare -n needs root)"
  NS=$(cat "$ns")
  case "$NS" in net:*) ;; *) fail "the namespace has a way out: $NS" ;; esac
  [ "$NS" != "$(readlink /proc/self/ns/net)" ] || fail "the program shares the host's network"
  # The relaunched copy must be inside the namespace too.
  for _ in $(seq 300); do [ -n "$(ours g_uninstall_)" ] && return 0; sleep 0.1; done
  fail "no relaunched copy appeared in the namespace"
}

answer() { # ok|cancel
  HELPER=answer "$here/wine-run.sh" "$build/helper.exe" "$caption" "$1" 'C:\work\smoke\boxes.txt' \
    || fail "no box \"$caption\" to answer with $1"
}

finished() {
  for _ in $(seq 150); do [ -z "$(ours uninstall)" ] && return 0; sleep 0.2; done
  fail "the program still runs: $(ours uninstall)"
}

uninstall_entry() { sample_reg query "$SAMPLE_UNINSTALL_KEY" /v UninstallString; }
app_paths_entry() { sample_reg query "$SAMPLE_APPPATHS_KEY" /ve; }
game=("$SAMPLE_APP/uninstall.exe" "$SAMPLE_APP/data/maps/level1.map" "$lib/DemoQuest/launcher.cfg"
      "$lib/sdk_cache/7/patch/p1.bin" "$SAMPLE_DESKTOP/Demo Quest.lnk" "$SAMPLE_PROGRAMS/DemoQuest")
others=("$lib/sdk_cache/8/other.bin" "$lib/OtherGame/app/other.exe" "$SAMPLE_PLATFORM/brimlake.ini")

start_uninstall
answer cancel
finished
uninstall_entry && app_paths_entry || fail "the game's registry entries are not back after Cancel"
for f in "${game[@]}" "${others[@]}"; do [ -e "$f" ] || fail "$f is gone after Cancel"; done
echo "Cancel: entries back, nothing removed"

start_uninstall
answer ok
answer ok
finished
for f in "${game[@]}" "$SAMPLE_APP" "$lib/DemoQuest"; do [ ! -e "$f" ] || fail "$f stayed after OK"; done
for f in "${others[@]}"; do [ -e "$f" ] || fail "$f is gone after OK"; done
! uninstall_entry && ! app_paths_entry || fail "the game's registry entries stayed after OK"
echo "OK: the game is gone, the other game stayed"

expected=$(printf '%s\n' "$question" "$question" "Demo Quest was successfully removed from your computer.")
[ "$(tr -d '\r' < "$boxes")" = "$expected" ] || fail "the boxes said: $(cat "$boxes")"
echo "boxes:"
sed 's/^/  /' "$boxes"
