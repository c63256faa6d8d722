#!/bin/sh
# The thread scenarios again and again with two busy loops beside them, as on a CI machine
# that runs other jobs: a test that leans on timing instead of state fails here.
#   stress.sh BUILD_DIR REPEAT [WINDOWS]
# BUILD_DIR holds the default build; REPEAT is how often the core's thread tests run; WINDOWS=1
# also runs the Windows suite's thread tests under Wine (build/windows-x64 must be built).
set -u
build=$1 repeat=$2 windows=${3:-0}

yes >/dev/null &
load1=$!
yes >/dev/null &
load2=$!
# The loops go however the run ends.
trap 'kill $load1 $load2 2>/dev/null' EXIT
trap 'exit 130' INT TERM

status=0
run() {
  echo "== $*"
  "$@" || { echo "FAILED: $*"; status=1; }
}
export TEST_TMPDIR="$build/tests/tmp"
run timeout 600 "$build/tests/quorix_tests" --gtest_filter='ThreadTest.*' --gtest_repeat="$repeat" \
  --gtest_brief=1
run timeout 300 "$build/tests/quorix_library_test" --gtest_filter='ForkWithThreadsInside.*:SimLibraryExit.*' \
  --gtest_repeat=2 --gtest_brief=1
run timeout 300 "$build/tests/quorix_wrapper_test" --gtest_brief=1
run timeout 300 "$build/tests/quorix_soak"
if [ "$windows" = 1 ]; then
  scripts/wine.sh start
  run env GTEST_FILTER='Threads.*' ctest --preset windows-x64 -R '^board[.]' --output-on-failure
  scripts/wine.sh stop
fi
[ $status -eq 0 ] && echo "stress: all passed"
exit $status
