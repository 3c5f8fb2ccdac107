"""Instructions per call of `_stat` on a trivial client, counted by callgrind.

Counting instructions rather than time gives the same figure on a loaded
machine. Each variant runs in its own process under callgrind, twice, with
a small and a large number of calls; the difference divided by the extra
calls is the cost of one call, free of start-up and import.

    python bench/callgrind_calls.py                       # prints a table
    python bench/callgrind_calls.py --json                # the same as JSON
    python bench/callgrind_calls.py --against DIR         # also the module installed in DIR
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SMALL, LARGE = 2_000, 22_000

PROGRAM = r"""
import sys
sys.path.insert(0, {bench!r})
if sys.argv[3:]:
    sys.path.insert(0, sys.argv[3])
import sftp_main
from plain_equivalent import PlainSFTPMain

class TrivialClient:
    def stat(self, file_path):
        return file_path

variant, count = sys.argv[1], int(sys.argv[2])
client = TrivialClient()
if variant == "direct":
    target = client.stat
elif variant == "plain":
    obj = PlainSFTPMain.__new__(PlainSFTPMain)
    obj._sftp = client
    target = obj._stat
else:
    obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)
    obj._sftp = client
    target = obj._stat
for _ in range(count):
    target("p")
"""


def instructions(program: Path, variant: str, count: int, workdir: Path, module_dir: str | None = None) -> int:
    out = workdir / f"callgrind.{variant}.{count}"
    command = [sys.executable, str(program), "module" if module_dir else variant, str(count)]
    if module_dir:
        command.append(module_dir)
    # A fixed hash seed: dict and set layouts, and so the counts, repeat.
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + str(out), *command],
        check=True,
        capture_output=True,
        env=env,
    )
    text = out.read_text()
    match = re.search(r"^summary:\s+(\d+)", text, re.M) or re.search(r"^totals:\s+(\d+)", text, re.M)
    return int(match.group(1))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true")
    parser.add_argument("--against", metavar="DIR", help="also count the sftp_main installed in DIR (an earlier build)")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        print("callgrind_calls: valgrind is not installed", file=sys.stderr)
        return 1
    bench = Path(__file__).resolve().parent
    results = {}
    with tempfile.TemporaryDirectory(prefix="sftp-main-callgrind-") as tmp:
        workdir = Path(tmp)
        program = workdir / "calls.py"
        program.write_text(PROGRAM.format(bench=str(bench)))
        variants = {"direct": None, "plain": None, "module": None}
        if args.against:
            variants["earlier"] = str(Path(args.against).resolve())
        for variant, module_dir in variants.items():
            small = instructions(program, variant, SMALL, workdir, module_dir)
            large = instructions(program, variant, LARGE, workdir, module_dir)
            results[variant] = round((large - small) / (LARGE - SMALL))
    if args.json:
        print(json.dumps(results))
    else:
        print("instructions per _stat call (callgrind, trivial client)")
        for variant, count in results.items():
            print(f"  {variant:<8} {count:>6}")
        print(f"  module over direct: {results['module'] - results['direct']}")
        if "earlier" in results:
            print(f"  module over the earlier build: {results['module'] - results['earlier']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
