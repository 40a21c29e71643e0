#!/bin/sh
# Installs the Debian packages the build and the tests need (every list in
# scripts/packages.d). Runs apt-get update once and skips what is installed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
want=$(cat "$here"/packages.d/*.list | sed 's/#.*//' | tr -s ' \t' '\n\n' | sed '/^$/d' | sort -u)
missing=""
for pkg in $want; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
else
    echo "setup: all packages present"
fi
