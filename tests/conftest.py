import subprocess
import sys
import textwrap

import pytest


@pytest.fixture(autouse=True)
def in_scratch_directory(tmp_path, monkeypatch):
    """Every test runs in a directory of its own: a download to a relative
    path lands there, never in the source tree."""
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def run_python(tmp_path):
    """Run a snippet in a fresh interpreter of this environment.

    Each import-time behaviour needs a process whose ``sftp_main`` was never
    loaded. Extra directories go to the front of ``sys.path``.
    """

    def run(code, *, path=(), timeout=120):
        env_path = ":".join(str(p) for p in path)
        prelude = f"import sys; sys.path[:0] = [p for p in {env_path!r}.split(':') if p]\n"
        return subprocess.run(
            [sys.executable, "-c", prelude + textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
            cwd=tmp_path,
        )

    return run
