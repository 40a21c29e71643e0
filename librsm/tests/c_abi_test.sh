#!/bin/sh
# Installs librsm into a scratch root (DESTDIR), builds a C program against
# the installed header with pkg-config only, and runs it.
#   c_abi_test.sh <librsm build dir> <work dir> <C source> <C compiler> [extra flags]
set -eu
build=$1 work=$2 src=$3 cc=$4 extra=${5:-}
rm -rf "$work"
mkdir -p "$work"
root=$work/root
DESTDIR=$root cmake -DCMAKE_INSTALL_PREFIX=/usr -P "$build/cmake_install.cmake" >"$work/install.log"

test -f "$root/usr/include/rsm.h"
test -f "$root/usr/lib/pkgconfig/librsm.pc"
soname=$(objdump -p "$root/usr/lib/librsm.so" | awk '$1 == "SONAME" {print $2}')
test "$soname" = librsm.so.1 || { echo "soname: '$soname'"; exit 1; }
grep -q '^prefix=/usr$' "$root/usr/lib/pkgconfig/librsm.pc"

export PKG_CONFIG_LIBDIR="$root/usr/lib/pkgconfig"
export PKG_CONFIG_SYSROOT_DIR="$root"
cflags=$(pkg-config --cflags librsm)
libs=$(pkg-config --libs librsm)
# shellcheck disable=SC2086
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror $extra $cflags -o "$work/c_abi_test" "$src" $libs

printf 'name = "router one"\n[net]\nport = 010\n' >"$work/in.conf"
LD_LIBRARY_PATH="$root/usr/lib" "$work/c_abi_test" "$work/in.conf" "$work/out.conf"
printf 'name = "router one"\n[net]\nport = "eight"\n' | cmp - "$work/out.conf"
