#!/usr/bin/env bash
# The main job: builds the release program (32-bit, statically linked) and
# says where it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="$root/build/i686-release"
(cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release)
mkdir -p "$root/out"
cp "$build/uninstall.exe" "$root/out/uninstall.exe"
echo "release program: $root/out/uninstall.exe ($(stat -c %s "$root/out/uninstall.exe") bytes)"
