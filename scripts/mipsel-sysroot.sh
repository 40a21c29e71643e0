#!/bin/sh
# Builds the target sysroot for the mipsel cross build from Debian's mipsel
# packages: `apt-get download` of the target libraries and everything they
# need, unpacked with `dpkg -x` (installing them as a second dpkg architecture
# clashes with the host's versions). The C library, libgcc and libstdc++ come
# with the cross compiler and are left out. Idempotent: a package already
# unpacked is skipped.
#
#   scripts/mipsel-sysroot.sh [SYSROOT]     (default build/sysroot-mipsel)
set -eu
cd "$(dirname "$0")/.."
sysroot=${1:-build/sysroot-mipsel}
debs=build/mipsel-debs
roots="libcurl4-openssl-dev libjson-c-dev zlib1g-dev libssl-dev libgtest-dev libgmock-dev"
# Provided by the cross toolchain (libc6-dev-mipsel-cross, libstdc++-12-dev-mipsel-cross).
skip='^(libc6|libc6-dev|libgcc-s1|libgcc-12-dev|libstdc\+\+6|libstdc\+\+-12-dev|libcrypt1|libcrypt-dev|linux-libc-dev|libgomp1|libatomic1|gcc-12-base|debconf|perl-base|dpkg|tar|install-info)$'

if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    echo "sysroot: enabling mipsel package lists"
    dpkg --add-architecture mipsel
    apt-get update -q
elif [ -z "$(apt-cache policy zlib1g:mipsel 2>/dev/null | grep Candidate)" ]; then
    apt-get update -q
fi

mkdir -p "$sysroot" "$debs" "$sysroot/.unpacked"
pkgs=""
for root in $roots; do
    pkgs="$pkgs $root:mipsel"
done
# The closure of their dependencies, target architecture only.
list=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances $pkgs 2>/dev/null |
    sed -n 's/^\([A-Za-z0-9][A-Za-z0-9.+-]*\):mipsel$/\1/p' | sort -u)
for pkg in $list; do
    if echo "$pkg" | grep -Eq "$skip"; then
        continue
    fi
    # Virtual packages have no candidate; their providers are in the list.
    if ! apt-cache show "$pkg:mipsel" >/dev/null 2>&1; then
        continue
    fi
    [ -f "$sysroot/.unpacked/$pkg" ] && continue
    deb=$(ls "$debs"/"${pkg}"_*_mipsel.deb "$debs"/"${pkg}"_*_all.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$deb" ]; then
        (cd "$debs" && apt-get download -q "$pkg:mipsel" >/dev/null 2>&1)
        deb=$(ls "$debs"/"${pkg}"_*_mipsel.deb "$debs"/"${pkg}"_*_all.deb 2>/dev/null | head -n 1)
    fi
    echo "sysroot: unpacking $pkg"
    dpkg -x "$deb" "$sysroot"
    touch "$sysroot/.unpacked/$pkg"
done
# Absolute symbolic links of the packages point into the host: make them relative.
find "$sysroot" -type l | while read -r link; do
    target=$(readlink "$link")
    case "$target" in
        /*) ln -sf "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link" ;;
    esac
done
echo "sysroot: ready in $sysroot"
