#!/usr/bin/env bash
# Builds, then runs the real VantrelSetup.exe end to end under Wine with its page in a real
# headless Chromium: an interactive install, the installed uninstaller, and a blocked
# uninstall, all in a sandbox folder. Leaves a screenshot of every screen in
# build/e2e-artifacts/setup/.
set -eu
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/configure-and-build.sh"
status=0
(cd "$root/build" && ctest -R '^e2e_setup$' --output-on-failure) || status=$?
# Leave no Wine server of ours behind.
WINEPREFIX="$root/build/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
echo "Screenshots of each screen:"
ls -1 "$root/build/e2e-artifacts/setup/"*.png 2>/dev/null | sed 's/^/   /' || echo "   (none)"
if [ "$status" = 0 ]; then
  echo "Verdict: the page installed, uninstalled and showed the blocked uninstall as a user sees it."
else
  echo "Verdict: FAILED (see the test output above)."
fi
exit $status
