#!/usr/bin/env bash
# Builds Vantrel Setup (cross-compiled for 64-bit Windows).
set -eu
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/configure-and-build.sh"
