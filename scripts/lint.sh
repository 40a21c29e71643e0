#!/bin/sh
# Checks the sources against the project's .clang-format (every tracked C and
# C++ file but the fuzz corpora) and runs clang-tidy with the project's
# .clang-tidy over the production code of the default build (everything in
# build/default/compile_commands.json but tests, fuzz targets, benchmarks and
# the test helpers). Fails on any deviation or warning. Needs the default
# build configured; it generates the sources the code includes (the parser).
set -eu
cd "$(dirname "$0")/.."
db=build/default/compile_commands.json

echo "lint: clang-format-14 over the tracked sources"
git ls-files -z -- '*.c' '*.cpp' '*.h' ':!:fuzz/corpus/**' |
    xargs -0 -r clang-format-14 --dry-run -Werror
format_count=$(git ls-files -- '*.c' '*.cpp' '*.h' ':!:fuzz/corpus/**' | wc -l)

echo "lint: clang-tidy-14 over the production sources of $db"
if [ ! -f "$db" ]; then
    echo "lint: $db missing: run cmake --preset default first" >&2
    exit 1
fi
files=$(python3 - "$db" <<'PY'
import json, sys
skip = ('/tests/', '/fuzz/', '/bench/', '/testing/', '/build/')
for f in sorted({e['file'] for e in json.load(open(sys.argv[1]))}):
    if not any(s in f for s in skip):
        print(f)
PY
)
cmake --build build/default --target generated_sources >/dev/null
tidy_count=$(printf '%s\n' "$files" | wc -l)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# shellcheck disable=SC2086
if ! run-clang-tidy-14 -p build/default -j 2 -quiet $files >"$out" 2>&1; then
    cat "$out"
    echo "lint: clang-tidy failed" >&2
    exit 1
fi
if grep -qE 'warning:|error:' "$out"; then
    grep -A3 -E 'warning:|error:' "$out"
    echo "lint: clang-tidy warned ($(grep -cE 'warning:|error:' "$out") findings)" >&2
    exit 1
fi
echo "lint: passed ($format_count files formatted, $tidy_count files clang-tidy clean)"
