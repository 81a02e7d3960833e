#!/usr/bin/env bash
# Builds Vantrel Setup (cross-compiled for 64-bit Windows).
set -eu
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/configure-and-build.sh"
# The program's main job, safely: a sandboxed check, install and uninstall under Wine.
echo "Demonstration: check, silent install and silent uninstall in a sandbox under Wine"
status=0
"$root/scripts/sandbox-demo.sh" || status=$?
# Leave no Wine server of ours behind.
WINEPREFIX="$root/build/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
exit $status
