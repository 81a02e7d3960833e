#!/usr/bin/env bash
# Configures (once) and builds the cross build in ./build. Quiet unless something fails:
# one line as each stage begins, the build's output only when it fails. VERBOSE=1 shows it always.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
echo "Packages: checking what the build needs"
"$root/scripts/install-deps.sh"
log=$(mktemp /tmp/vantrel-build.XXXXXX)
trap 'rm -f "$log"' EXIT
stage() {
  echo "$1"
  if [ "${VERBOSE:-}" = 1 ]; then
    "${@:2}"
  elif ! "${@:2}" >"$log" 2>&1; then
    cat "$log"
    echo "Build failed." >&2
    exit 1
  fi
}
stage "Configure: $root/build" cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release
# A first build compiles the toolchain's test libraries too: minutes, not seconds.
stage "Build: compiling (a first build takes several minutes)" cmake --build "$root/build" -j"$(nproc)"
echo "Built: $root/build/app/VantrelSetup.exe"
