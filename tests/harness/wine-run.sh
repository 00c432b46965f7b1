#!/usr/bin/env bash
# Starts a Windows program of the build inside the test prefix. The program
# and the other programs of its folder are copied to C:\bin, and it starts
# with C:\work as its working folder. The prefix must map no drive outside
# itself, so that a removal bug can reach nothing of the host.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the test prefix (scripts/test.sh makes one)}"
here=$(cd "$(dirname "$0")" && pwd)
"$here/prefix.sh" check
exe=$1
shift
src=$(cd "$(dirname "$exe")" && pwd)
bin="$WINEPREFIX/drive_c/bin"
mkdir -p "$bin" "$WINEPREFIX/drive_c/work"
# C:\bin holds one build's programs: the other architecture's, of the same
# names, would be mixed in unseen.
if [ ! -f "$bin/.build" ]; then echo "$src" > "$bin/.build"; fi
if [ "$(cat "$bin/.build")" != "$src" ]; then
  echo "wine-run.sh: this prefix runs the programs of $(cat "$bin/.build"), not of $src" >&2
  exit 1
fi
# Planted DLLs stay in their own folder, away from the test programs.
mkdir -p "$bin/planted"
for f in "$src"/*.exe "$src"/*.dll "$src"/planted/*.dll; do
  [ -f "$f" ] || continue
  case "$f" in
    "$src"/planted/*) target="$bin/planted/$(basename "$f")" ;;
    *) target="$bin/$(basename "$f")" ;;
  esac
  if [ ! -f "$target" ] || [ "$f" -nt "$target" ]; then
    # Copy then rename, so that a program is never started half-written.
    cp "$f" "$target.$$" && mv -f "$target.$$" "$target"
  fi
done
cd "$WINEPREFIX/drive_c/work"
exec /usr/lib/wine/wine64 "C:\\bin\\$(basename "$exe")" "$@"
