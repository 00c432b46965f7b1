#!/usr/bin/env bash
# Builds both architectures and runs every test under Wine in a throw-away
# prefix. Extra arguments go to ctest (for example -R Descriptor).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"

build32="$root/build/i686-release"
build64="$root/build/x86_64-test"

# The 32-bit product: compiled, with its record-size checks, but not run.
cmake --preset release >/dev/null
cmake --build --preset release
# The 64-bit build that the tests run, pointed at the loopback collector.
cmake --preset test >/dev/null
cmake --build --preset test

run_dir=$(mktemp -d /tmp/uninstall-tests.XXXXXX)
export WINEPREFIX="$run_dir/prefix"
export WINEDEBUG=-all
harness="$root/tests/harness"
cleanup() {
  "$harness/services.sh" stop || true
  "$harness/prefix.sh" stop || true
  rm -rf "$run_dir"
}
trap cleanup EXIT
echo "test prefix: $WINEPREFIX"
"$harness/prefix.sh" create "$WINEPREFIX"
DISPLAY=$("$harness/prefix.sh" start)
export DISPLAY
UNINSTALL_BUILD_DIR="$build64" "$harness/services.sh" start "$run_dir"
# shellcheck disable=SC1091
source "$run_dir/services.env"

ctest --test-dir "$build64" --output-on-failure "$@"
