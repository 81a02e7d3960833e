#!/usr/bin/env bash
# Builds everything and runs the whole test suite (Windows tests under Wine).
set -eu
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/configure-and-build.sh"
cd "$root/build"
status=0
ctest --output-on-failure -j"$(nproc)" "$@" || status=$?
# Leave no Wine server of ours behind.
WINEPREFIX="$root/build/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
exit $status
