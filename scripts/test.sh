#!/bin/sh
# Builds everything and runs every test: unit tests (GoogleTest) and process
# tests (pytest in throwaway router roots), all through ctest.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
for extra in scripts/test.d/*.sh; do
    if [ -f "$extra" ]; then sh "$extra" prepare; fi
done
cmake --preset default
cmake --build --preset default
ctest --preset default
for extra in scripts/test.d/*.sh; do
    if [ -f "$extra" ]; then sh "$extra" run; fi
done
echo "all tests passed"
