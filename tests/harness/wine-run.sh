#!/usr/bin/env bash
# Starts a Windows program of a build in the session's prefix (ctest's
# emulator): the build's programs are copied to C:\bin, its planted DLLs to
# C:\bin\planted, and the program starts in C:\work. A prefix that maps
# anything outside itself runs nothing, so that a removal bug can reach
# nothing of the host.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name a test prefix (tests/harness/session.sh makes one)}"
# shellcheck source=session.sh
source "$(dirname "$0")/session.sh"
check_prefix
src=$(cd "$(dirname "$1")" && pwd) bin=$WINEPREFIX/drive_c/bin exe=$(basename "$1")
shift
# One build per prefix: the other architecture's programs have the same names.
[ -f "$bin/.build" ] || echo "$src" > "$bin/.build"
[ "$(cat "$bin/.build")" = "$src" ] || { echo "wine-run.sh: this prefix runs $(cat "$bin/.build")" >&2; exit 1; }
mkdir -p "$bin/planted"
for f in "$src"/*.exe "$src"/planted/*.dll; do
  target=$bin/${f#"$src"/}
  # Copied, then renamed: a program never starts half-written.
  if [ -f "$f" ] && ! [ "$target" -nt "$f" ]; then cp "$f" "$target.$$" && mv -f "$target.$$" "$target"; fi
done
cd "$WINEPREFIX/drive_c/work"
exec "$session_wine" "C:\\bin\\$exe" "$@"
