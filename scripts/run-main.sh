#!/bin/sh
# Main job placeholder until the agent lands: check a generated sample image.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
img=$(mktemp)
head -c 300000 /dev/urandom > "$img"
./build/default/tools/imgcheck/imgcheck "$img" "$img.result"
rm -f "$img" "$img.result"
