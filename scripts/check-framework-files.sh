#!/usr/bin/env bash
# Installing and uninstalling sftp_main must leave the framework alone. In a
# fresh virtual environment that holds another distribution providing
# tavrel_log, tavrel_ssh and tavrel_var (made here, with contents of its
# own), installs the given sftp_main wheel, then uninstalls it, and compares
# the three files byte for byte after each step.
#
#   scripts/check-framework-files.sh PYTHON WHEEL
set -euo pipefail
python=$1
wheel=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sftp-main-framework.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
pip_quiet() {
  "$scratch/env/bin/python" -m pip --quiet --disable-pip-version-check "$@" 2>&1 |
    { grep -v "^WARNING: Location 'file:" || true; }
}

"$python" -m venv "$scratch/env"
"$scratch/env/bin/python" - "$scratch" <<'PY'
"""Writes the wheel of a stand-in framework whose three modules are its own."""
import base64, hashlib, secrets, sys, zipfile
from pathlib import Path

scratch = Path(sys.argv[1])
name, version = "framework_probe", "1.0"
info = f"{name}-{version}.dist-info"
files = {
    f"{module}.py": f"# the framework's own {module} ({secrets.token_hex(8)})\n".encode()
    for module in ("tavrel_log", "tavrel_ssh", "tavrel_var")
}
files[f"{info}/METADATA"] = f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n".encode()
files[f"{info}/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: check-framework-files\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
record = [
    f"{path},sha256={base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()},{len(data)}"
    for path, data in files.items()
]
files[f"{info}/RECORD"] = ("\n".join(record + [f"{info}/RECORD,,"]) + "\n").encode()
with zipfile.ZipFile(scratch / f"{name}-{version}-py3-none-any.whl", "w") as archive:
    for path, data in files.items():
        archive.writestr(path, data)
PY
pip_quiet install --no-index --no-deps "$scratch"/framework_probe-1.0-py3-none-any.whl

digests() {
  "$scratch/env/bin/python" -c '
import hashlib, sysconfig
from pathlib import Path
site = Path(sysconfig.get_paths()["purelib"])
for module in ("tavrel_log", "tavrel_ssh", "tavrel_var"):
    path = site / f"{module}.py"
    print(module, hashlib.sha256(path.read_bytes()).hexdigest() if path.exists() else "missing")
'
}
before=$(digests)
if grep -q missing <<<"$before"; then
  echo "check-framework-files: the probe framework did not install: $before" >&2
  exit 1
fi
pip_quiet install --no-index --no-deps "$wheel"
after_install=$(digests)
pip_quiet uninstall --yes sftp_main
after_uninstall=$(digests)
status=0
for step in install uninstall; do
  now=$([ "$step" = install ] && echo "$after_install" || echo "$after_uninstall")
  if [ "$now" != "$before" ]; then
    echo "check-framework-files: the framework's modules changed when sftp_main was ${step}ed:" >&2
    diff <(echo "$before") <(echo "$now") >&2 || true
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "   the framework's tavrel_log, tavrel_ssh and tavrel_var stayed byte for byte through install and uninstall"
exit "$status"
