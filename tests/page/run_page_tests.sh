#!/bin/sh
# Usage: run_page_tests.sh WORKDIR PAGE SETUP_EXE TESTFILE -- WINE_RUN...
# Prints the host's bootstrap texts and the real setup info (--check in a fresh sandbox) under
# Wine, then runs the page tests in chromium on them.
set -eu
work=$1 page=$2 setup=$3 tests=$4
shift 4
[ "${1:-}" = "--" ] && shift
texts=$1
shift
mkdir -p "$work"
rm -rf "$work/sandbox" "$work/screenshots"
mkdir -p "$work/sandbox"
"$@" "$texts" > "$work/bridge_texts.json"
# The payload check decides the exit code, not whether the info was written.
sandbox="${VANTREL_WINDOWS_PATH_PREFIX-Z:}$(printf '%s' "$work/sandbox" | tr / '\\')"
VANTREL_SETUP_SANDBOX=$sandbox "$@" "$setup" --check || true
test -s "$work/sandbox/check.json"
export SETUP_PAGE="$page" SETUP_EXE="$setup" WEBHOST_BRIDGE_TEXTS="$work/bridge_texts.json" \
       SETUP_CHECK_JSON="$work/sandbox/check.json" PAGE_SHOTS="$work/screenshots"
exec node --test "$tests"
