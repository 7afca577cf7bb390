#!/usr/bin/env bash
# Installs what is missing, builds Lumenfold and opens the scope fed by its built-in
# demo producer. Extra arguments go to lumenfold-scope (see lumenfold-scope --help).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLUMENFOLD_TESTS=OFF -DLUMENFOLD_BENCHMARKS=OFF
cmake --build build/release -j "$(nproc)"
exec build/release/scope/lumenfold-scope --demo "$@"
