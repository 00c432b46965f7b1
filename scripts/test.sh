#!/usr/bin/env bash
# Builds both architectures and runs every test under Wine: the 64-bit build,
# then, where the kernel starts 32-bit programs, the 32-bit build under WoW64
# with a smoke run of the release program. Each run has its own throw-away
# prefix. Extra arguments go to ctest, in both runs (for example -R Descriptor).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"
wow64=$(cat "$root/build/wow64")

# The 32-bit product; the 32-bit tests run it.
cmake --preset release >/dev/null
cmake --build --preset release
# The test builds, pointed at the loopback collector. The 64-bit suite mostly
# waits on Wine, so the 32-bit build compiles meanwhile, at low priority.
cmake --preset test >/dev/null
cmake --build --preset test
if [ "$wow64" = yes ]; then
  (cmake --preset test32 >/dev/null && nice -n 19 cmake --build --preset test32) \
    > build/test32-build.log 2>&1 &
  build32=$!
fi

# One session per build: the two builds' programs have the same names.
run_suite() { # name build_dir ctest-arguments...
  local name=$1 build=$2 rc=0
  shift 2
  # shellcheck source=../tests/harness/session.sh
  source "$root/tests/harness/session.sh"
  UNINSTALL_BUILD_DIR=$build open_session "uninstall-tests-$name" services
  echo "test prefix: $WINEPREFIX"
  ctest --test-dir "$build" --output-on-failure "$@" | tee "$SESSION_DIR/ctest.log" || rc=$?
  grep -E 'tests passed|No tests were found' "$SESSION_DIR/ctest.log" | tail -1 > "$root/build/summary-$name" || true
  return $rc
}

status=0 passed=0 failed=0 summary=()
suite() { # name build_dir heading ctest-arguments...
  local name=$1 build=$2 heading=$3 start=$SECONDS line
  shift 3
  echo
  echo "==== $heading"
  rm -f "build/summary-$name"
  set +e
  (set -e; run_suite "$name" "$build" "$@")
  [ $? = 0 ] || status=1
  set -e
  line=$(cat "build/summary-$name" 2>/dev/null || echo "did not run to the end")
  summary+=("$name-bit run: $line ($((SECONDS - start)) s)")
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
}

suite 64 "$root/build/x86_64-test" "64-bit tests (build/x86_64-test) under Wine" "$@"
if [ "$wow64" = yes ]; then
  if wait "$build32"; then
    suite 32 "$root/build/i686-test" \
      "32-bit tests (build/i686-test) under WoW64, with the release program's smoke run" "$@"
  else
    cat build/test32-build.log
    status=1
    summary+=("32-bit run: the 32-bit test build failed")
  fi
else
  echo
  echo "==== 32-bit tests skipped: $wow64"
  summary+=("32-bit run: skipped: $wow64")
fi
echo
printf '%s\n' "${summary[@]}"
echo "tests: $passed passed, $failed failed"
bash "$root/scripts/test_ratio.sh"
exit $status
