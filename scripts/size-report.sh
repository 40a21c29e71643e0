#!/bin/sh
# Stripped size of every program and library of the target build.
#   scripts/size-report.sh [BUILD_DIR]    (default build/mipsel)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/mipsel}
strip=mipsel-linux-gnu-strip
progs="telvsdkd databoard modemctl pinctl uartmode linebridge portnotify postrelay textrelay atsend imgcheck trimwatch trimfile"
libs="librsm.so librsmwrapper.so"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
total=0
printf '%-16s %10s\n' "file" "bytes"
for name in $progs $libs; do
    f=$(find "$build" -name "$name" -not -path '*/CMakeFiles/*' \( -type f -o -type l \) | head -n 1)
    if [ -z "$f" ]; then
        printf '%-16s %10s\n' "$name" "missing"
        continue
    fi
    cp -L "$f" "$tmp/$name"
    "$strip" --strip-unneeded "$tmp/$name"
    size=$(wc -c < "$tmp/$name")
    total=$((total + size))
    printf '%-16s %10d\n' "$name" "$size"
done
printf '%-16s %10d  (%d KiB; goal 1536 KiB)\n' "total" "$total" $((total / 1024))
