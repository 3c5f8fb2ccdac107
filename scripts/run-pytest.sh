#!/usr/bin/env bash
# Runs pytest with the given interpreter; a run that collects no test fails.
# A failing run ends by naming the failed tests, after pytest's own report,
# whose diffs can run long.
set -u
py=$1; shift
report=$(mktemp -d)
trap 'rm -rf "$report"' EXIT
"$py" -m pytest --junitxml="$report/junit.xml" "$@"
rc=$?
if [ "$rc" -eq 5 ]; then
  echo "run-pytest: no tests were collected" >&2
  exit 1
fi
if [ "$rc" -ne 0 ] && [ -s "$report/junit.xml" ]; then
  "$py" - "$report/junit.xml" <<'PY' >&2
import sys
import xml.etree.ElementTree as tree
for case in tree.parse(sys.argv[1]).iter("testcase"):
    if case.find("failure") is not None or case.find("error") is not None:
        print(f"run-pytest: failed: {case.get('classname')}::{case.get('name')}")
PY
fi
exit "$rc"
