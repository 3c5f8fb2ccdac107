"""block_size against OpenSSH's sshd: a round trip of identical bytes in
requests within what its limits@openssh.com states, with atomic upload and
a staged download."""

import hashlib
import os
import sys
from pathlib import Path

import paramiko
import pytest

import sftp_main

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "devtools"))

from openssh_server import OpenSSHServer, unavailable_reason  # noqa: E402

SIZE = (9 << 20) + 4321


@pytest.fixture(scope="module")
def sshd():
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    with OpenSSHServer(log_level="ERROR") as server:
        yield server


def config(server, **options):
    return {"host": server.host, "port": server.port, "user": server.user, "password": server.password, **options}


def server_limits(server):
    transport = paramiko.Transport((server.host, server.port))
    try:
        transport.connect(username=server.user, password=server.password)
        sftp = paramiko.SFTPClient.from_transport(transport)
        kind, message = sftp._request(paramiko.sftp.CMD_EXTENDED, "limits@openssh.com")
        assert kind == paramiko.sftp.CMD_EXTENDED_REPLY
        return [message.get_int64() for _ in range(4)]
    finally:
        transport.close()


@pytest.mark.parametrize("block", [262144, 1 << 20, 65536])
def test_a_round_trip_keeps_every_byte_within_the_servers_limits(sshd, tmp_path, block):
    _, max_read, max_write, _ = server_limits(sshd)
    assert 0 < max_read < 1 << 20  # OpenSSH states its limits, below a MiB
    data = os.urandom(SIZE)
    local = tmp_path / "local.bin"
    local.write_bytes(data)
    seen = []
    client = sftp_main.TavrelSFTPMain(config(sshd, block_size=block, atomic_upload=True, raise_on_failure=True,
                                             timeout=60, progress=lambda done, total: seen.append(done)))
    client._connect()
    sent = []
    send = client._sftp._async_request

    def recording(fileobj, kind, *arguments):
        if kind in (paramiko.sftp.CMD_READ, paramiko.sftp.CMD_WRITE):
            sent.append((kind, arguments[-1] if kind == paramiko.sftp.CMD_READ else len(arguments[-1])))
        return send(fileobj, kind, *arguments)

    client._sftp._async_request = recording
    try:
        assert client._upload(str(local), f"round-{block}.bin") is True
        assert seen[-1] == SIZE
        assert client._download(f"round-{block}.bin", str(tmp_path / "back.bin")) is True
    finally:
        client._close()
    back = (tmp_path / "back.bin").read_bytes()
    assert hashlib.sha256(back).digest() == hashlib.sha256(data).digest()
    assert (sshd.root / f"round-{block}.bin").read_bytes() == data
    reads = [size for kind, size in sent if kind == paramiko.sftp.CMD_READ]
    writes = [size for kind, size in sent if kind == paramiko.sftp.CMD_WRITE]
    assert max(reads) == min(block, max_read)
    assert max(writes) <= min(block, max_write)
    assert len(reads) == -(-SIZE // min(block, max_read))
    assert not [name for name in os.listdir(tmp_path) if name not in ("local.bin", "back.bin")]


def test_a_large_download_holds_a_bounded_amount_of_memory(sshd, tmp_path):
    import tracemalloc

    size = 96 << 20
    with open(sshd.root / "large.bin", "wb") as out:
        out.truncate(size)
    os.chown(sshd.root / "large.bin", sshd.root.stat().st_uid, sshd.root.stat().st_gid)
    client = sftp_main.TavrelSFTPMain(config(sshd, block_size=262144, raise_on_failure=True))
    client._connect()
    tracemalloc.start()
    try:
        baseline, _ = tracemalloc.get_traced_memory()
        assert client._download("large.bin", str(tmp_path / "large.bin")) is True
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        client._close()
    assert os.path.getsize(tmp_path / "large.bin") == size
    # The window (8 MiB and two blocks) and the pipeline bound what is held,
    # whatever the file's size.
    assert peak - baseline < 12 << 20, (peak - baseline) >> 20
