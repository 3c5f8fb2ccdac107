#!/usr/bin/env bash
# Builds the sdist and the wheel with `python -m build`, installs each in a
# fresh virtual environment together with the framework stand-ins (their own
# distribution, built from the sdist's copy), and runs there the tests
# shipped in the sdist against the installed module, plus the type stub's
# checks (stubtest and a strict mypy run). Nothing of the source tree is
# importable during the tests: they run from a copy of tests/ and devtools/
# in a scratch folder. Last, the wheel must leave another distribution's
# framework modules as they were (scripts/check-framework-files.sh).
#
#   scripts/check-dist.sh [PYTHON]     default: the Python 3.13 of find-python.sh
set -euo pipefail
cd "$(dirname "$0")/.."

python=${1:-$(scripts/find-python.sh)}
"$python" -c 'import sys; sys.exit(sys.version_info < (3, 12))' || { echo "check-dist: $python is older than 3.12" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sftp-main-dist.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# pip's notes about configured local indexes that this machine lacks are noise here.
pip_install() {
  "$1/bin/python" -m pip install --quiet --disable-pip-version-check "${@:2}" 2>&1 |
    { grep -v "^WARNING: Location 'file:" || true; }
}

echo "== build with $("$python" -c 'import sys; print(sys.version.split()[0])') ($python)"
"$python" -m venv "$scratch/build-env"
pip_install "$scratch/build-env" build
"$scratch/build-env/bin/python" -m build --outdir "$scratch/dist" . >"$scratch/build.log" 2>&1 ||
  { cat "$scratch/build.log" >&2; exit 1; }
sdist=$(ls "$scratch"/dist/*.tar.gz)
wheel=$(ls "$scratch"/dist/*.whl)
echo "   $(basename "$sdist")"
echo "   $(basename "$wheel")"

# The tests, the servers they start and the benchmark scripts one test reads, as the sdist ships them.
mkdir "$scratch/source" "$scratch/run"
tar -xzf "$sdist" -C "$scratch/source" --strip-components=1
"$scratch/build-env/bin/python" -m build --wheel --outdir "$scratch/stand-ins" "$scratch/source/framework/stand_ins" \
  >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log" >&2; exit 1; }
stand_ins=$(ls "$scratch"/stand-ins/*.whl)
echo "   $(basename "$stand_ins") (from the sdist)"
"$python" - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
strays = [n for n in names if not n.startswith(("sftp_main.", "sftp_main-"))]
sys.exit(f"check-dist: the sftp_main wheel carries other top-level files: {strays}" if strays else 0)
PY
cp -r "$scratch/source/tests" "$scratch/source/devtools" "$scratch/source/bench" "$scratch/source/pyproject.toml" \
  "$scratch/source/README.md" "$scratch/run/"

cat >"$scratch/run/typed_use.py" <<'PY'
from typing import TYPE_CHECKING

import paramiko
from sftp_main import TavrelSFTPMain

if TYPE_CHECKING:
    from sftp_main import SFTPMainConfig

config = {"host": "127.0.0.1", "user": "u", "password": "p"}
client = TavrelSFTPMain(config)
typed: "SFTPMainConfig" = {"host": "127.0.0.1", "user": "u", "known_hosts": "known_hosts", "timeout": 10}
TavrelSFTPMain(typed)
client._connect()
attributes: paramiko.SFTPAttributes = client._stat("incoming")
created: bool = client._mkdir(path="incoming")
moved: bool = client._rename(new_path="b", ole_path="a")
sent: bool = client._upload(src_file="a.csv", dsc_path="incoming/a.csv")
fetched: bool = client._download("incoming/a.csv", "copy.csv")
where: str = client._normalize(".")
client._close()
PY

for artifact in "$wheel" "$sdist"; do
  kind=$([ "$artifact" = "$wheel" ] && echo wheel || echo sdist)
  env="$scratch/env-$kind"
  echo "== $kind: fresh environment, install, tests"
  "$python" -m venv "$env"
  pip_install "$env" "$artifact[test]" "$stand_ins" mypy types-paramiko
  (
    cd "$scratch/run"
    "$env/bin/python" - <<'PY'
import sys
import sftp_main
assert sftp_main.__file__.startswith(sys.prefix), f"sftp_main imported from {sftp_main.__file__}, not the environment"
print(f"   sftp_main from {sftp_main.__file__}")
PY
    "$env/bin/python" -m mypy.stubtest sftp_main
    "$env/bin/python" -m mypy --strict --no-incremental typed_use.py
    "$env/bin/python" -m pytest -q -p no:cacheprovider tests
  )
done
echo "== wheel beside another distribution of the framework"
scripts/check-framework-files.sh "$python" "$wheel"
echo "== check-dist: sdist and wheel install and pass the tests, and leave the framework alone"
