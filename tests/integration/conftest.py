"""Integration fixtures: the embedded asyncssh server and real paramiko.

Helpers reach the tests through the ``live`` fixture rather than imports, so
that this file never has to be imported by name.
"""

import gc
import sys
import threading
import time
from pathlib import Path

import paramiko
import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "devtools"))

from embedded_sftp_server import EmbeddedSFTPServer, ipv6_loopback_available  # noqa: E402

import sftp_main  # noqa: E402


class Live:
    user = "tester"
    password = "s3cret-Pässwort"
    repo = REPO
    # Bounded waits for paramiko's threads and the server's bookkeeping to
    # catch up with a close; they return as soon as the condition holds.
    settle_seconds = 15.0

    @staticmethod
    def transport_threads():
        return {t for t in threading.enumerate() if isinstance(t, paramiko.Transport)}

    def wait_for(self, predicate):
        deadline = time.monotonic() + self.settle_seconds
        while not predicate():
            if time.monotonic() >= deadline:
                return predicate()
            time.sleep(0.02)
        return True

    def threads_end(self, before):
        """True once no paramiko transport thread started after ``before`` is alive."""
        return self.wait_for(lambda: not (self.transport_threads() - before))

    def sessions_end(self, server):
        return server.wait_for_sessions(0, self.settle_seconds)

    def config(self, server, **overrides):
        config = {"host": server.host, "port": server.port, "user": self.user, "password": self.password}
        config.update(overrides)
        return config

    def server(self, host="127.0.0.1"):
        return EmbeddedSFTPServer({self.user: self.password}, host=host)

    jump_user = "hopper"
    jump_password = "jump-Pässwort"

    def jump_server(self, **options):
        """An embedded server that forwards direct-tcpip channels to loopback."""
        return EmbeddedSFTPServer({self.jump_user: self.jump_password}, forwarding=True, **options)

    def jump_config(self, target, jump, **overrides):
        """"ssh" on: the target's configuration, reached through ``jump`` by password."""
        config = self.config(target, ssh=True, ssh_host=jump.host, ssh_port=jump.port, ssh_user=self.jump_user,
                             ssh_password=self.jump_password)
        config.update(overrides)
        return config

    @staticmethod
    def tunnel_threads():
        return [t for t in threading.enumerate() if t.name.startswith("tavrel-tunnel-")]


@pytest.fixture(scope="session")
def live():
    return Live()


@pytest.fixture
def server(live):
    with live.server() as srv:
        yield srv


@pytest.fixture
def jump(live):
    with live.jump_server() as srv:
        yield srv


@pytest.fixture
def ipv6_server(live):
    if not ipv6_loopback_available():
        pytest.skip("this machine has no IPv6 on loopback (::1)")
    with live.server("::1") as srv:
        yield srv


@pytest.fixture
def config(live, server):
    return live.config(server)


@pytest.fixture
def connected(config):
    client = sftp_main.TavrelSFTPMain(config)
    client._connect()
    yield client
    try:
        client._close()
    except Exception:
        pass
    del client
    gc.collect()
