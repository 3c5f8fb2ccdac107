"""Server faults, with real paramiko against the embedded server: killed in
the middle of a transfer, gone between calls, refusing the SFTP subsystem.

A named pipe stands in for the local file of a transfer, so that the test
holds the transfer open at a known point: some data has crossed, the rest
is still to come, and only then is the server killed. Every call that meets
a fault runs on a worker thread that the test waits for with a generous
limit; the limit only turns a hang into a failure, it times nothing.
"""

from __future__ import annotations

import os
import threading
import time

import paramiko
import pytest

import sftp_main

Cls = sftp_main.TavrelSFTPMain
CHUNK = 64 * 1024


class Outcome:
    """The call's result or error, once the worker thread has finished."""

    def __init__(self, fn, limit):
        self.result = None
        self.error = None
        self.thread = threading.Thread(target=self._run, args=(fn,), daemon=True)
        self.limit = limit
        self.thread.start()

    def _run(self, fn):
        try:
            self.result = fn()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            self.error = exc

    def wait(self):
        self.thread.join(self.limit)
        assert not self.thread.is_alive(), "the call did not come back after the fault"
        return self


def wait_until(predicate, limit):
    """Polls `predicate` until it holds; False when `limit` runs out."""
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)
    return True


@pytest.fixture
def server(live):
    with live.server() as srv:
        yield srv


@pytest.fixture
def connected(live, server):
    before = live.transport_threads()
    client = Cls(live.config(server))
    client._connect()
    yield client
    try:
        client._close()
    except Exception:
        pass
    assert live.threads_end(before)


def test_server_killed_in_the_middle_of_an_upload(live, server, connected, tmp_path):
    source = tmp_path / "source.fifo"
    os.mkfifo(source)
    killed = threading.Event()
    written = []

    def feed():
        # The first chunk, then nothing until the server is gone; then data
        # until the client stops reading (it closes the pipe) or a bound.
        with open(source, "wb", buffering=0) as pipe:
            try:
                pipe.write(os.urandom(CHUNK))
                written.append(CHUNK)
                killed.wait(live.settle_seconds)
                for _ in range(1024):
                    pipe.write(os.urandom(CHUNK))
                    written.append(CHUNK)
            except BrokenPipeError:
                pass

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    upload = Outcome(lambda: connected._upload(str(source), "big.bin"), live.settle_seconds)
    target = server.root / "big.bin"
    assert wait_until(lambda: target.exists() and target.stat().st_size > 0, live.settle_seconds)
    server.kill()
    killed.set()

    upload.wait()
    assert upload.error is None
    assert upload.result is False
    feeder.join(live.settle_seconds)
    assert not feeder.is_alive()
    # The server had part of the file, never all that was sent.
    assert 0 < target.stat().st_size < sum(written)


# paramiko's own read-ahead thread may die of the lost connection too; that
# is paramiko's thread reporting, not an error of the call under test.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_server_killed_in_the_middle_of_a_download(live, server, connected, tmp_path):
    size = 16 * 1024 * 1024
    (server.root / "big.bin").write_bytes(os.urandom(size))
    sink = tmp_path / "sink.fifo"
    os.mkfifo(sink)
    started = threading.Event()
    killed = threading.Event()
    received = []

    def drain():
        # Some data, then a pause until the server is gone (the client
        # blocks on the full pipe meanwhile), then the rest until the client
        # closes the pipe.
        with open(sink, "rb", buffering=0) as pipe:
            while sum(received) < CHUNK:
                data = pipe.read(CHUNK)
                if not data:
                    break
                received.append(len(data))
            started.set()
            killed.wait(live.settle_seconds)
            while data := pipe.read(CHUNK):
                received.append(len(data))

    drainer = threading.Thread(target=drain, daemon=True)
    drainer.start()
    download = Outcome(lambda: connected._download("big.bin", str(sink)), live.settle_seconds)
    assert started.wait(live.settle_seconds)
    server.kill()
    killed.set()

    download.wait()
    assert download.error is None
    assert download.result is False
    drainer.join(live.settle_seconds)
    assert not drainer.is_alive()
    assert 0 < sum(received) < size


def test_server_gone_between_calls(live, server, connected, tmp_path):
    assert connected._normalize(".") == "/"
    server.kill()
    local = tmp_path / "local.bin"
    local.write_bytes(b"data")

    for method, args in [
        ("_stat", (".",)),
        ("_normalize", (".",)),
        ("_mkdir", ("d",)),
        ("_rmdir", ("d",)),
        ("_remove", ("f",)),
        ("_rename", ("f", "g")),
        ("_posix_rename", ("f", "g")),
        ("_chdir", ("d",)),
    ]:
        outcome = Outcome(lambda: getattr(connected, method)(*args), live.settle_seconds).wait()
        # paramiko's own error for a lost connection, not one of the module's.
        assert isinstance(outcome.error, (OSError, EOFError, paramiko.SSHException)), (method, outcome.error)
        assert not isinstance(outcome.error, (AttributeError, TypeError)), (method, outcome.error)

    assert Outcome(lambda: connected._upload(str(local), "up.bin"), live.settle_seconds).wait().result is False
    assert Outcome(lambda: connected._download("up.bin", str(tmp_path / "d")), live.settle_seconds).wait().result is False
    closing = Outcome(connected._close, live.settle_seconds).wait()
    assert closing.error is None or isinstance(closing.error, Exception)


def test_server_refusing_the_sftp_subsystem(live):
    with live.server(refuse_sftp=True) as server:
        before = live.transport_threads()
        client = Cls(live.config(server))
        with pytest.raises(paramiko.SSHException):
            client._connect()
        assert isinstance(client._ssh, paramiko.SSHClient)
        assert not hasattr(client, "_sftp")
        # The login succeeded, so a transport was running: it is gone.
        assert server.accepted_sessions == 1
        assert live.threads_end(before)
        assert server.wait_for_sessions(0, live.settle_seconds)


def test_nothing_listening(live):
    with live.server() as server:
        config = live.config(server)
    # The server is stopped: its port refuses connections.
    before = live.transport_threads()
    client = Cls(config)
    with pytest.raises(paramiko.SSHException, match="Connection refused"):
        client._connect()
    assert isinstance(client._ssh, paramiko.SSHClient)
    assert not hasattr(client, "_sftp")
    assert live.threads_end(before)


def test_server_killed_in_the_middle_of_an_atomic_upload_keeps_the_old_file(live, server, tmp_path):
    (server.root / "target.bin").write_bytes(b"old")
    source = tmp_path / "source.bin"
    source.write_bytes(os.urandom(64 * CHUNK))
    killed = []

    def kill_once(done, total):
        if done and not killed:
            killed.append(done)
            server.kill()

    client = Cls(live.config(server, atomic_upload=True, progress=kill_once))
    client._connect()
    upload = Outcome(lambda: client._upload(str(source), "target.bin"), live.settle_seconds).wait()
    try:
        client._close()
    except Exception:
        pass
    assert (upload.error, upload.result) == (None, False)
    assert killed
    assert (server.root / "target.bin").read_bytes() == b"old"
