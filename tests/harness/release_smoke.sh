#!/usr/bin/env bash
# The release program as a user runs it, in the test session: started as
# Explorer starts it, from a parent whose working folder is elsewhere, with
# the game's folder as its own working folder, it relocates and asks; after
# Cancel the game is listed and nothing is gone, after OK the game is gone
# and unlisted and the other game stays. It reports to the production host, so it runs in a
# network namespace of its own holding only a loopback that is down; the
# wineserver and the X display are reached through Unix sockets, which work
# across namespaces, and the relaunched copy inherits the namespace.
#   release_smoke.sh UNINSTALL_EXE TEST_BUILD_DIR
set -euo pipefail
exe=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/sample_game.sh
source "$here/../../scripts/sample_game.sh"
lay_out_sample_game "$build" "$exe"
lib=$SAMPLE_LIB boxes=$WINEPREFIX/drive_c/work/smoke.txt
fail() { echo "FAIL: $*"; exit 1; }
uninstall() { # the answers to its boxes
  local answer
  # Wine's start (64-bit) stays in C:\work and ends at once; started
  # straight from the game's folder, a 32-bit program would get a 64-bit
  # launcher as its parent, which Windows has not, whose working folder would
  # hold the installation folder while the first process waits.
  (cd "$WINEPREFIX/drive_c/work" &&
    unshare -n sh -c '[ "$(tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d " ")" = lo ] && exec "$0" start /d "$1" "$2"' \
    /usr/lib/wine/wine64 "${SAMPLE_WINAPP%\\}" "${SAMPLE_WINAPP}uninstall.exe" </dev/null >/dev/null 2>&1 &)
  for answer in "$@"; do
    HELPER=answer "$here/wine-run.sh" "$build/helper.exe" "Demo Quest Unistall" "$answer" 'C:\work\smoke.txt' ||
      fail "no box to answer with $answer"
  done
  for _ in $(seq 100); do runs_in_prefix 'g_uninstall_' || return 0; sleep 0.2; done
  fail "the program still runs"
}
registered() { sample_reg query "$SAMPLE_UNINSTALL_KEY" /v UninstallString && sample_reg query "$SAMPLE_APPPATHS_KEY" /ve; }
game=("$SAMPLE_APP/uninstall.exe" "$lib/DemoQuest/launcher.cfg" "$lib/sdk_cache/7/patch/p1.bin"
      "$SAMPLE_DESKTOP/Demo Quest.lnk" "$SAMPLE_PROGRAMS/DemoQuest")
others=("$lib/sdk_cache/8/other.bin" "$lib/OtherGame/app/other.exe" "$SAMPLE_PLATFORM/brimlake.ini")
: > "$boxes"
uninstall cancel
registered || fail "the game is not listed after Cancel"
for f in "${game[@]}" "${others[@]}"; do [ -e "$f" ] || fail "$f went after Cancel"; done
uninstall ok ok
! registered || fail "the game's entries stayed after OK"
for f in "${game[@]}"; do [ ! -e "$f" ] || fail "$f stayed after OK"; done
for f in "${others[@]}"; do [ -e "$f" ] || fail "$f went after OK"; done
question="Are you sure you want to completely remove Demo Quest and all of its components?"
[ "$(tr -d '\r' < "$boxes")" = "$(printf '%s\n' "$question" "$question" \
  "Demo Quest was successfully removed from your computer.")" ] || fail "the boxes said: $(cat "$boxes")"
echo "Cancel: the entries are back, nothing went; OK: the game went, the other game stayed"
