#!/usr/bin/env bash
# clang-tidy (the checks in the root .clang-tidy: bugprone-*, performance-*) over the
# project's C++ sources, using the compile commands of a configured and built tree.
#   scripts/tidy.sh [BUILD_DIR]      (default: build/ci, the tree scripts/test.sh builds)
# The tree must have been built once: the sources include the moc output and the export
# headers generated there. Runs one clang-tidy per source, as many at once as there are
# cores, and exits non-zero when any finding is left.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/ci}
db="$build/compile_commands.json"
if [[ ! -f $db ]]; then
    echo "tidy: no $db; configure and build $build first (CMAKE_EXPORT_COMPILE_COMMANDS is on)" >&2
    exit 2
fi
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [[ -z $tidy ]]; then
    echo "tidy: clang-tidy not found (Debian package clang-tidy)" >&2
    exit 2
fi

# The library and program sources. Not checked: tests/, bench/ and fuzz/: another 37
# translation units, each as slow to check as a source (Qt and GoogleTest headers), would
# take the run well past three minutes on two cores; the few findings there (size arithmetic
# in fixtures) are not faults of the panel.
mapfile -t sources < <(
    git ls-files -- '*.cpp' |
        grep -E '^(host|plotting|toolbar|chartpane|cmdpump|transport|scope)/'
)

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
jobs=$(nproc)
start=$SECONDS
# One log per source, printed whole at the end, so parallel runs do not interleave.
printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -I{} sh -c '
        log="$2/$(echo "$3" | tr / _).log"
        "$1" -p "$0" --quiet "$3" >"$log" 2>&1 || echo "$3" >>"$2/failed"
    ' "$build" "$tidy" "$out" {}
for log in "$out"/*.log; do
    # clang-tidy prints "N warnings generated" for the headers it was told to skip.
    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
done
echo "tidy: ${#sources[@]} sources in $((SECONDS - start)) s"
if [[ -f $out/failed ]]; then
    echo "tidy: findings in:" >&2
    sed 's/^/  /' "$out/failed" >&2
    exit 1
fi
echo "tidy: clean"
