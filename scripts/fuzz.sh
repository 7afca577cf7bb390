#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 30) from its seed corpus in fuzz/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DLUMENFOLD_FUZZ=ON \
  -DLUMENFOLD_TESTS=OFF -DLUMENFOLD_BENCHMARKS=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_targets
targets=$(find build/fuzz/fuzz -maxdepth 1 -type f -executable -name 'fuzz_*' 2>/dev/null | sort)
if [ -z "$targets" ]; then
  echo "fuzz: no targets"
  exit 0
fi
mkdir -p fuzz-artifacts
for t in $targets; do
  name=$(basename "$t")
  work=build/fuzz/corpus-$name
  mkdir -p "$work"
  echo "fuzz: $name for ${seconds}s"
  "$t" -max_total_time="$seconds" -artifact_prefix=fuzz-artifacts/ -print_final_stats=1 \
    "$work" "fuzz/corpus/$name"
done
