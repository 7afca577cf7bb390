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

step "clang-tidy"
./scripts/tidy.sh build/ci

step "fuzz"
./scripts/fuzz.sh 30

step "all passed"
