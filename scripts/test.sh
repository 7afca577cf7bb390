#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite:
#   1. a warnings-as-errors build of the libraries, programs and benchmarks, and the tests
#      that cannot run under the sanitizers (the Python package, the installed programs,
#      the scope under Xvfb);
#   2. the C++ test suite built with AddressSanitizer + UndefinedBehaviorSanitizer (and
#      warnings as errors) and run through ctest: every C++ test runs once, there;
#   3. the clang-format check;
#   4. clang-tidy (bugprone-*, performance-*) on the sources, with the compile commands of 1;
#   5. a short libFuzzer run of each fuzz target (clang).
# 4 and 5 run beside 1's tests and 2, at the lowest priority.
# Exits non-zero on the first failing step.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
step() { printf '\n==== %s (%s)\n' "$1" "$(date +%T)"; }

step "build (-Werror)"
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMENFOLD_WERROR=ON \
  -DLUMENFOLD_CXX_TESTS=OFF
cmake --build build/ci -j "$jobs"

# clang-tidy and the fuzz run need only the tree above: they start now, at the lowest
# priority, and take the cores the builds and tests below leave idle (the tests mostly
# wait on sockets and timers, the build's last links run one at a time). Their output is
# printed, and their result counted, once the tests are done.
logs=$(mktemp -d)
# Each in a process group of its own (job control), so that a failing step ends them with
# their children; not in a session of their own, which would put them in a scheduling
# group of their own as well, where their low priority would count for nothing.
set -m
nice -n 19 ./scripts/tidy.sh build/ci >"$logs/tidy" 2>&1 &
tidy_pid=$!
nice -n 19 ./scripts/fuzz.sh 30 >"$logs/fuzz" 2>&1 &
fuzz_pid=$!
set +m
trap 'kill -- "-$tidy_pid" "-$fuzz_pid" 2>/dev/null || true; rm -rf "$logs"' EXIT
# Waits for a step started above and prints its output; fails as the step did.
finish() { # NAME LOG PID
  local status=0
  wait "$3" || status=$?
  step "$1 (run beside the tests)"
  cat "$2"
  [ "$status" = 0 ] || echo "$1 failed (exit $status)"
  return "$status"
}

step "tests outside the sanitizers"
ctest --test-dir build/ci --output-on-failure -j "$jobs"

step "build (ASan + UBSan)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMENFOLD_WERROR=ON \
  -DLUMENFOLD_SANITIZE=ON -DLUMENFOLD_BENCHMARKS=OFF
cmake --build build/asan -j "$jobs"
step "tests under sanitizers"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0"
ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE no-sanitizer

step "clang-format"
./scripts/check-format.sh

failed=0
finish clang-tidy "$logs/tidy" "$tidy_pid" || failed=1
finish fuzz "$logs/fuzz" "$fuzz_pid" || failed=1
[ "$failed" = 0 ]

step "all passed"
