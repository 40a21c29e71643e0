#!/bin/sh
# Benchmark of imgcheck (not a test): throughput on a generated 256 MiB image
# against a bare zlib crc32 pass in 64 KiB blocks, and imgcheck's peak memory
# on a 16 MiB and a 256 MiB image.
#
#   bench/imgcheck_bench.sh [BUILD_DIR]     (default build/default; run as root)
#
# The images live in a scratch folder of the build tree and are removed at the
# end. Everything runs in a private mount namespace with its own /tmp, so the
# completion marker imgcheck writes never lands in the host's /tmp.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/default}" && pwd)

if [ -z "${IMGBENCH_PRIVATE:-}" ]; then
    IMGBENCH_PRIVATE=1 exec unshare --mount --propagation private -- \
        sh -c 'mount -t tmpfs tmpfs /tmp && exec sh "$0" "$1"' "$here/imgcheck_bench.sh" "$build"
fi

find_prog() {
    find "$build" -type f -name "$1" -perm -u+x -not -path '*/CMakeFiles/*' | head -n 1
}
imgcheck=$(find_prog imgcheck)
bench=$(find_prog imgcheck_bench)
if [ -z "$imgcheck" ] || [ -z "$bench" ]; then
    echo "build imgcheck and imgcheck_bench in $build first" >&2
    exit 1
fi

work=$(mktemp -d "$build/imgbench.XXXXXX")
trap 'rm -rf "$work"' EXIT

head -c $((256 * 1024 * 1024)) /dev/urandom > "$work/big.img"
head -c $((16 * 1024 * 1024)) /dev/urandom > "$work/small.img"

"$bench" "$imgcheck" "$work/big.img" "${ROUNDS:-7}"

for img in small big; do
    rss=$(/usr/bin/time -f %M "$imgcheck" "$work/$img.img" "$work/$img.res" 2>&1 >/dev/null)
    size=$(stat -c %s "$work/$img.img")
    echo "peak RSS of imgcheck on $((size / 1024 / 1024)) MiB image: $rss KiB"
done
