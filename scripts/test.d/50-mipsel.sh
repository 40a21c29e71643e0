#!/bin/sh
# The router target: cross build for mipsel and its unit tests under qemu-user.
set -eu
case "${1:-}" in
    prepare) sh scripts/mipsel-sysroot.sh ;;
    run)
        cmake --preset mipsel
        cmake --build --preset mipsel
        ctest --preset mipsel
        ;;
esac
