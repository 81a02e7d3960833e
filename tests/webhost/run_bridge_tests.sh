#!/bin/sh
# Usage: run_bridge_tests.sh OUTPUT TESTFILE -- COMMAND...
# Runs COMMAND (the texts printer, under Wine) into OUTPUT, then the script tests on it.
set -eu
out=$1 tests=$2
shift 2
[ "${1:-}" = "--" ] && shift
"$@" > "$out"
WEBHOST_BRIDGE_TEXTS=$out exec node --test "$tests"
