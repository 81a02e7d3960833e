#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -eu
packages="cmake make g++ clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
 wine64 xvfb xauth nlohmann-json3-dev googletest libgtest-dev libwim-dev nodejs chromium"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# Playwright's client library, pinned by the lock file; it drives Debian's chromium and
# downloads no browser of its own.
root=$(cd "$(dirname "$0")/.." && pwd)
stamp="$root/node_modules/.vantrel-lock"
if ! cmp -s "$root/package-lock.json" "$stamp" 2>/dev/null; then
  (cd "$root" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$root/package-lock.json" "$stamp"
fi
