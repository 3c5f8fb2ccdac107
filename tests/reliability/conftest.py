"""Fixtures of the reliability suite: the module's globals replaced by
in-memory fakes, and the embedded SFTP server for the fault tests."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import sftp_main
from reliability_support import FakeParamiko

REPO = Path(__file__).resolve().parents[2]
DEVTOOLS = REPO / "devtools"


@pytest.fixture
def fake_paramiko(monkeypatch):
    fake = FakeParamiko()
    monkeypatch.setattr(sftp_main, "paramiko", fake.module)
    return fake


@pytest.fixture
def module_globals(monkeypatch):
    """Rebinds a global of `sftp_main` for the test; undone afterwards."""

    def rebind(name, value):
        monkeypatch.setattr(sftp_main, name, value)

    return rebind


@pytest.fixture
def run_script(tmp_path):
    """Runs a script in a fresh interpreter of this environment (the
    sanitizer settings, when present, are inherited); returns the completed
    process. A hung child is killed after `timeout` seconds and fails."""

    def run(code, *, timeout=120, extra_path=()):
        script = tmp_path / "script.py"
        prelude = f"import sys\nsys.path[:0] = {[str(p) for p in extra_path]!r}\n"
        script.write_text(prelude + textwrap.dedent(code), encoding="utf-8")
        env = dict(os.environ)
        env["PYTHONFAULTHANDLER"] = "1"
        return subprocess.run(
            [sys.executable, str(script)],
            capture_output=True,
            text=True,
            timeout=timeout,
            cwd=tmp_path,
            env=env,
        )

    return run


class LiveServer:
    """The embedded server, one user, and what a test waits for."""

    user = "reliable"
    password = "Rel-s3cret-Pässwort-7f2a"
    # Bounds for waits on paramiko's threads and on calls that must come
    # back after a fault; they only stop a hang, they time nothing.
    settle_seconds = 30.0
    devtools = DEVTOOLS

    def __init__(self, server_class):
        self.server_class = server_class

    def server(self, **options):
        return self.server_class({self.user: self.password}, **options)

    def config(self, server, **overrides):
        config = {"host": server.host, "port": server.port, "user": self.user, "password": self.password}
        config.update(overrides)
        return config

    @staticmethod
    def transport_threads():
        import paramiko

        return {t for t in threading.enumerate() if isinstance(t, paramiko.Transport) and t.is_alive()}

    def threads_end(self, before):
        deadline = time.monotonic() + self.settle_seconds
        while self.transport_threads() - before:
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.02)
        return True


@pytest.fixture(scope="session")
def live():
    sys.path.insert(0, str(DEVTOOLS))
    try:
        from embedded_sftp_server import EmbeddedSFTPServer
    finally:
        sys.path.remove(str(DEVTOOLS))
    return LiveServer(EmbeddedSFTPServer)
