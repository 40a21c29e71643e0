#!/bin/sh
# Builds everything and runs every test: unit tests (GoogleTest) and process
# tests (pytest in throwaway router roots), all through ctest, in the
# sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, no recovery), then the tests of the threaded code again in
# the ThreadSanitizer build. First the sources are linted (scripts/lint.sh:
# clang-format and clang-tidy, over the default preset's compile commands).
# Warnings are errors in every build; the optimised one that checks them is
# the mipsel cross build (same g++ 12, -Os) of the programs and their tests.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
for extra in scripts/test.d/*.sh; do
    if [ -f "$extra" ]; then sh "$extra" prepare; fi
done
cmake --preset default
sh scripts/lint.sh
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
# ThreadSanitizer: the threaded code (the agent, librsm) and its tests
# (the preset builds the target thread_tests: only what they run).
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan
for extra in scripts/test.d/*.sh; do
    if [ -f "$extra" ]; then sh "$extra" run; fi
done
echo "all tests passed"
