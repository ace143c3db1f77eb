#!/bin/sh
# Leak check of zqpack over its tests. Needs a sanitizer build
# (cmake -DZQ_SANITIZE=ON) with pack_cli_tests, e2e_tests and
# reliability_tests built. Every
# zqpack process those tests start logs to its own file: allocator figures at
# a normal exit (atexit=1), and LeakSanitizer's report when something leaked.
# Prints how many zqpack processes ended normally and how many leaked.
#   leak_check.sh SANITIZER_BUILD_DIR
set -u
build=$1
logs=$(mktemp -d "${TMPDIR:-/tmp}/zq_leaks.XXXXXX")
export ASAN_OPTIONS="detect_leaks=1:atexit=1:log_path=$logs/asan:log_exe_name=1"
"$build/tests/pack/pack_cli_tests" >"$logs/pack_cli_tests.out" 2>&1
pack_status=$?
"$build/tests/e2e/e2e_tests" --gtest_filter='Packed*' >"$logs/e2e_tests.out" 2>&1
e2e_status=$?
rel_status=0
if [ -x "$build/tests/reliability/reliability_tests" ]; then
    "$build/tests/reliability/reliability_tests" --gtest_filter='ZqpackErrorPaths*' >"$logs/rel.out" 2>&1
    rel_status=$?
fi
runs=$(ls "$logs" | grep -c '^asan\.zqpack\.')
leaky=$(grep -l 'LeakSanitizer' "$logs"/asan.zqpack.* 2>/dev/null | wc -l)
other=$(grep -l 'ERROR: AddressSanitizer\|runtime error' "$logs"/asan.zqpack.* 2>/dev/null | wc -l)
echo "pack_cli_tests: $(tail -n 3 "$logs/pack_cli_tests.out" | grep -E 'PASSED|FAILED' | head -1) (status $pack_status)"
echo "e2e zqpack tests: $(tail -n 3 "$logs/e2e_tests.out" | grep -E 'PASSED|FAILED' | head -1) (status $e2e_status)"
echo "zqpack error-path tests: status $rel_status"
echo "zqpack processes that ended normally: $runs; with leaks: $leaky; with other sanitizer reports: $other"
if [ "$leaky" -ne 0 ] || [ "$other" -ne 0 ]; then
    echo "reports kept in $logs"
    exit 1
fi
rm -rf "$logs"
