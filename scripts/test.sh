#!/usr/bin/env bash
# Builds both architectures and runs every test under Wine in a throw-away
# prefix. Extra arguments go to ctest (for example -R Descriptor).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"

build64="$root/build/x86_64-test"

# The 32-bit product: compiled, with its record-size checks, but not run.
cmake --preset release >/dev/null
cmake --build --preset release
# The 64-bit build that the tests run, pointed at the loopback collector.
cmake --preset test >/dev/null
cmake --build --preset test

# shellcheck source=../tests/harness/session.sh
source "$root/tests/harness/session.sh"
UNINSTALL_BUILD_DIR="$build64" open_session uninstall-tests services
echo "test prefix: $WINEPREFIX"

ctest --test-dir "$build64" --output-on-failure "$@"
