"""The whole lifecycle through TavrelSFTPMain against a real SFTP server."""

import hashlib
import os
import socket
import stat

import pytest

import sftp_main

SIZES = {"empty": 0, "small": 4099, "64MiB": 64 << 20}


def write_random(path, size):
    digest = hashlib.sha256()
    with open(path, "wb") as handle:
        left = size
        while left:
            chunk = os.urandom(min(left, 1 << 20))
            handle.write(chunk)
            digest.update(chunk)
            left -= len(chunk)
    return digest.hexdigest()


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        while chunk := handle.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


@pytest.mark.parametrize("size", SIZES.values(), ids=SIZES.keys())
def test_full_lifecycle(live, server, config, tmp_path, size):
    local_up = tmp_path / "up.bin"
    local_down = tmp_path / "down.bin"
    up_digest = write_random(local_up, size)
    threads_before = live.transport_threads()

    client = sftp_main.TavrelSFTPMain(config)
    assert not hasattr(client, "_sftp")
    assert client._connect() is None
    assert server.open_sessions == 1
    assert live.transport_threads() - threads_before

    assert client._mkdir("work") is True
    assert (server.root / "work").is_dir()
    assert client._chdir("work") is True

    assert client._upload(str(local_up), "first.bin") is True
    stored = server.root / "work" / "first.bin"
    assert sha256_file(stored) == up_digest

    attrs = client._stat("first.bin")
    assert attrs.st_size == size
    assert stat.S_ISREG(attrs.st_mode)
    assert stat.S_IMODE(attrs.st_mode) == stat.S_IMODE(stored.stat().st_mode)

    assert client._rename("first.bin", "second.bin") is True
    assert not stored.exists()
    assert client._posix_rename("second.bin", "final.bin") is True
    assert sorted(p.name for p in (server.root / "work").iterdir()) == ["final.bin"]

    assert client._normalize("final.bin") == "/work/final.bin"

    assert client._download("final.bin", str(local_down)) is True
    assert local_down.stat().st_size == size
    assert sha256_file(local_down) == up_digest

    assert client._remove("final.bin") is True
    assert client._rmdir("/work") is True
    assert list(server.root.iterdir()) == []

    assert client._close() is None
    assert live.sessions_end(server)
    assert live.threads_end(threads_before)


@pytest.mark.parametrize("options", [{}, {"timeout": 10}], ids=["paramiko's socket", "the module's socket"])
def test_the_connection_sends_without_waiting_for_acknowledgements(config, options):
    client = sftp_main.TavrelSFTPMain({**config, **options})
    client._connect()
    transport_socket = client._sftp.get_channel().get_transport().sock
    assert transport_socket.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) == 1
    client._close()
