"""The opt-in transfer options, "progress" and "atomic_upload", and the log
record that says why a transfer returned False."""

import gc
import logging
import os
import re
import weakref

import pytest

import sftp_main

TEMPORARY = re.compile(r"\.target\.bin\.[0-9a-f]{16}\.part")


@pytest.fixture
def opted(live, server):
    def connect(**options):
        client = sftp_main.TavrelSFTPMain(live.config(server, **options))
        client._connect()
        opened.append(client)
        return client

    opened = []
    yield connect
    for client in opened:
        client._close()


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "source.bin"
    path.write_bytes(os.urandom(300_000))
    return path


def test_a_false_transfer_logs_why_once_logging_is_configured(live, connected, server, source, caplog):
    caplog.set_level(logging.INFO, logger="sftp_main")
    assert connected._upload(str(source), "fine.bin") is True
    assert caplog.records == []
    assert connected._upload("/nope", "x") is False
    [record] = caplog.records
    assert (record.name, record.levelno) == ("sftp_main", logging.INFO)
    assert record.getMessage() == (
        f"sftp_main: _upload('/nope', 'x') on {live.user}@127.0.0.1:{server.port} returned False: "
        "FileNotFoundError: [Errno 2] No such file or directory: '/nope'"
    )
    assert isinstance(record.exc_info[1], FileNotFoundError)


def test_progress_sees_the_counts_rise_to_the_total(opted, source, tmp_path):
    seen = []
    client = opted(progress=lambda done, total: seen.append((done, total)))
    size = source.stat().st_size
    assert client._upload(str(source), "up.bin") is True
    up, seen[:] = list(seen), []
    assert client._download("up.bin", str(tmp_path / "down.bin")) is True
    for counts in (up, seen):
        assert len(counts) > 1
        assert [done for done, _ in counts] == sorted(done for done, _ in counts)
        assert counts[-1] == (size, size)


def test_atomic_upload_replaces_the_file_and_leaves_no_temporary_one(opted, server, source):
    (server.root / "target.bin").write_bytes(b"old")
    (server.root / "target.bin").chmod(0o600)
    staged_modes = {}

    def look(*_):
        for name in os.listdir(server.root):
            staged_modes[name] = (server.root / name).stat().st_mode & 0o777

    client = opted(atomic_upload=True, progress=look)
    assert client._upload(str(source), "target.bin") is True
    assert (server.root / "target.bin").read_bytes() == source.read_bytes()
    assert (server.root / "target.bin").stat().st_mode & 0o777 == 0o600
    assert os.listdir(server.root) == ["target.bin"]
    # The new contents were never where another user of the server could open them.
    [(staged, mode)] = [(name, mode) for name, mode in staged_modes.items() if TEMPORARY.fullmatch(name)]
    assert mode == 0o700


def test_atomic_upload_cancelled_from_progress_keeps_the_old_file(opted, server, source, tmp_path):
    (server.root / "target.bin").write_bytes(b"old")
    local = tmp_path / "kept.bin"
    local.write_bytes(b"local")

    def cancel(done, total):
        if done > 0:
            raise RuntimeError("cancelled")

    client = opted(atomic_upload=True, progress=cancel)
    assert client._upload(str(source), "target.bin") is False
    assert os.listdir(server.root) == ["target.bin"]
    assert (server.root / "target.bin").read_bytes() == b"old"
    # A staged download cancelled alike leaves its destination as it was.
    assert client._download("target.bin", str(local)) is False
    assert local.read_bytes() == b"local"
    assert sorted(os.listdir(tmp_path)) == ["kept.bin", "source.bin"]


def test_atomic_upload_without_posix_rename_returns_false_and_logs_why(live, source, caplog):
    caplog.set_level(logging.INFO, logger="sftp_main")
    with live.server() as bare:
        bare.posix_rename = False
        (bare.root / "target.bin").write_bytes(b"old")
        client = sftp_main.TavrelSFTPMain(live.config(bare, atomic_upload=True))
        client._connect()
        try:
            assert client._upload(str(source), "target.bin") is False
        finally:
            client._close()
        assert os.listdir(bare.root) == ["target.bin"]
        assert (bare.root / "target.bin").read_bytes() == b"old"
    [record] = caplog.records
    assert "posix-rename@openssh.com" in record.getMessage()
    assert "never done non-atomically" in record.getMessage()


def test_progress_must_be_callable(live, server):
    client = sftp_main.TavrelSFTPMain(live.config(server, progress="bar"))
    with pytest.raises(ValueError, match="progress must be a callable"):
        client._connect()
    assert not hasattr(client, "_ssh")


def test_a_progress_callable_that_holds_the_instance_lets_it_go(live, server):
    held = []
    client = sftp_main.TavrelSFTPMain(live.config(server, progress=lambda done, total, held=held: None))
    client._connect()
    held.append(client)
    gone = weakref.ref(client)
    del client, held
    gc.collect()
    assert gone() is None
    assert live.sessions_end(server)  # the finaliser closed the connection
