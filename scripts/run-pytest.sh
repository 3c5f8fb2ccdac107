#!/usr/bin/env bash
# Runs pytest with the given interpreter; a run that collects no test fails.
set -u
py=$1; shift
"$py" -m pytest "$@"
rc=$?
if [ "$rc" -eq 5 ]; then
  echo "run-pytest: no tests were collected" >&2
  exit 1
fi
exit "$rc"
