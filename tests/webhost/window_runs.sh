#!/bin/sh
# Runs a window program N times in a row through wine-run, with the caller's DISPLAY unset,
# bogus and as given: every run must create its top-level window.
# Usage: window_runs.sh N wine-run-command... program.exe
n=$1; shift
i=0
while [ $i -lt "$n" ]; do
  case $((i % 3)) in
    0) env -u DISPLAY "$@" ;;
    1) DISPLAY=:9999 "$@" ;;
    *) "$@" ;;
  esac
  status=$?
  if [ $status -ne 0 ]; then
    echo "run $((i + 1)) of $n: exit $status"
    exit 1
  fi
  i=$((i + 1))
done
echo "$n runs created their windows"
