#!/usr/bin/env bash
# Configures (once) and builds the cross build in ./build. Quiet unless something fails:
# the build's output is shown only then. VERBOSE=1 shows it always.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
log=$(mktemp /tmp/vantrel-build.XXXXXX)
trap 'rm -f "$log"' EXIT
if [ "${VERBOSE:-}" = 1 ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$root/build" -j"$(nproc)"
  exit 0
fi
if ! { cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release && cmake --build "$root/build" -j"$(nproc)"; } >"$log" 2>&1; then
  cat "$log"
  echo "Build failed." >&2
  exit 1
fi
echo "Built: $root/build/app/VantrelSetup.exe"
