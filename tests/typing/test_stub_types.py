"""The type stubs against the installed module and a strict mypy run: the
configuration mapping is typed name by name, so that a misspelt name in a
literal configuration is reported, and the README's configuration reference
lists the same names."""

import ast
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import textwrap

# What mypy reads: the stubs as installed beside the module.
STUB = pathlib.Path(sysconfig.get_paths()["purelib"]) / "sftp_main-stubs" / "__init__.pyi"
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def typed_names():
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == "SFTPMainConfig":
            return [stmt.target.id for stmt in node.body if isinstance(stmt, ast.AnnAssign)]
    raise AssertionError("the stubs define no SFTPMainConfig")


def documented_names():
    text = README.read_text()
    section = text.split("\n## Configuration reference\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^\| `([a-z_]+)` \|", section, flags=re.MULTILINE)


def run_mypy(tmp_path, sources):
    for name, code in sources.items():
        (tmp_path / name).write_text(textwrap.dedent(code))
    # mypy reads the stubs statically: the sanitizer runtime is no use to it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / ".cache"),
         "--no-error-summary", "--show-error-codes", *sources],
        capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300,
    )
    assert not result.stderr.strip(), result.stderr
    return result.stdout.splitlines()


def test_stubs_list_the_readme_configuration_reference_names():
    typed = typed_names()
    assert len(typed) == len(set(typed))
    assert typed == documented_names()
    for name in ("host", "ssh_rsa_pwd", "known_hosts", "timeout", "raise_on_failure"):
        assert name in typed


def test_stubtest_finds_the_stubs_true_to_the_module():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "sftp_main"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_mypy_reports_misspelt_names_and_wrong_values_and_accepts_the_rest(tmp_path):
    lines = run_mypy(tmp_path, {
        "good.py": """
            from __future__ import annotations
            import os
            import pathlib
            from typing import TYPE_CHECKING, Any
            import paramiko
            from sftp_main import TavrelSFTPMain
            if TYPE_CHECKING:
                from sftp_main import SFTPMainConfig

            def on_progress(done: int, total: int) -> None: ...

            config: SFTPMainConfig = {
                "host": "127.0.0.1", "port": 2222, "user": "u", "password": None,
                "key_file": pathlib.Path("id_ed25519"), "key_passphrase": b"pass",
                "known_hosts": os.path.expanduser("~/.ssh/known_hosts"), "timeout": 10,
                "host_key": ["SHA256:x", "SHA256:y"], "atomic_upload": True,
                "progress": on_progress, "raise_on_failure": True,
            }
            client = TavrelSFTPMain(config)
            client._connect()
            attributes: paramiko.SFTPAttributes = client._stat("a.csv")
            size: int | None = client._stat("a.csv").st_size
            fetched: bool = client._download("a.csv", "copy.csv")
            client._close()
            # A mapping of the framework's, with names of its own, is still accepted.
            loaded: dict[str, Any] = {"host": "h", "ssh_host_key": "SHA256:z"}
            TavrelSFTPMain(loaded)
            TavrelSFTPMain({"host": "h", "user": "u", "password": "p"})
        """,
        "typos.py": """
            from __future__ import annotations
            from typing import TYPE_CHECKING
            if TYPE_CHECKING:
                from sftp_main import SFTPMainConfig

            a: SFTPMainConfig = {"host": "h", "known_host": "~/.ssh/known_hosts"}
            b: SFTPMainConfig = {"host": "h", "timout": 3}
            c: SFTPMainConfig = {"host": "h", "atomicupload": True}
            d: SFTPMainConfig = {"host": "h", "timeout": [3]}
            e: SFTPMainConfig = {"host": "h", "progress": "yes"}
        """,
    })
    assert not [line for line in lines if line.startswith("good.py") and ": error:" in line], lines
    errors = {int(line.split(":")[1]): line for line in lines if line.startswith("typos.py") and ": error:" in line}
    assert set(errors) == {7, 8, 9, 10, 11}, lines
    assert 'Extra key "known_host" for TypedDict "SFTPMainConfig"' in errors[7]
    assert '"timout"' in errors[8] and '"atomicupload"' in errors[9]
    assert '"timeout"' in errors[10] and '"progress"' in errors[11]
