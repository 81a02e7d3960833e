#!/usr/bin/env bash
# Runs the built Setup program's main job under Wine against a fresh sandbox folder: the
# payload check, a silent install and a silent uninstall. No real profile is touched: the
# sandbox variable moves every folder and per-user registry key of Setup into the sandbox.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
run="$root/tools/wine-run --prefix $build/wineprefix --dlls $build/standin-dlls"
setup=$build/app/VantrelSetup.exe
box=$(mktemp -d /tmp/vantrel-sandbox.XXXXXX)
export VANTREL_SETUP_SANDBOX="Z:${box//\//\\}"
key='HKCU\Software\Vantrel\SetupSandbox\Software\Microsoft\Windows\CurrentVersion\Uninstall\VantrelForDaVinciResolveBeta'

show_state() {
  echo "-- files in the sandbox:"
  (cd "$box" && find . -type f | sort | sed 's/^/   /')
  echo "-- uninstall entry under the sandbox key:"
  values=$($run reg query "$key" 2>/dev/null | tr -d '\r' | sed -n 's/^ \{4\}/   /p' || true)
  if [ -n "$values" ]; then echo "$values"; else echo "   (none)"; fi
}

echo "== Sandbox: $VANTREL_SETUP_SANDBOX"
echo "== VantrelSetup.exe --check"
set +e
$run "$setup" --check; check=$?
set -e
echo "exit code $check; check.json:"
tr -d '\r' < "$box/check.json" 2>/dev/null || echo "(none)"; echo

echo "== VantrelSetup.exe --silent (install)"
set +e; $run "$setup" --silent; install=$?; set -e
echo "exit code $install; result.json:"; tr -d '\r' < "$box/result.json" 2>/dev/null || echo "(none)"; echo
show_state
dir="$box/Local/Programs/Vantrel for DaVinci Resolve Beta"
placed=no; [ -f "$dir/uninstall.exe" ] && [ -f "$dir/install.json" ] && placed=yes

echo "== VantrelSetup.exe --silent --uninstall"
set +e; $run "$setup" --silent --uninstall; uninstall=$?; set -e
echo "exit code $uninstall; result.json:"; tr -d '\r' < "$box/result.json" 2>/dev/null || echo "(none)"; echo
show_state
removed=no; [ ! -e "$dir" ] && removed=yes
rm -rf "$box"

if [ "$check" = 0 ] && [ "$install" = 0 ] && [ "$placed" = yes ] && [ "$uninstall" = 0 ] && [ "$removed" = yes ]; then
  echo "Verdict: payload valid; the silent install placed the product and the silent uninstall removed it."
else
  echo "Verdict: FAILED (check exit $check, install exit $install, installed: $placed, uninstall exit $uninstall, removed: $removed)."
  exit 1
fi
