#!/usr/bin/env bash
# Fails when a tracked or new C++ file is not clang-format clean.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files -co --exclude-standard -- '*.cpp' '*.h' | grep -v -E '^build' || true)
[ -z "$files" ] && exit 0
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
echo "clang-format: $(echo "$files" | wc -l) files clean"
