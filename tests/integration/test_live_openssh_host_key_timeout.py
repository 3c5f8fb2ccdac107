"""host_key and timeout against the system's own OpenSSH server on loopback."""

import os
import re
import signal
import time
from pathlib import Path

import paramiko
import pytest
from openssh_server import OpenSSHServer, unavailable_reason

import sftp_main

PASSWORD_REQUEST = "method password"


@pytest.fixture(scope="module")
def sshd():
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    with OpenSSHServer() as server:
        yield server


def config(server, **options):
    return {"host": server.host, "port": server.port, "user": server.user, "password": server.password, **options}


def new_log_lines(server, since):
    return server.log_text()[since:]


def session_processes(server):
    """The processes below our sshd that run as the test account: the login's."""
    children = {}
    uids = {}
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            status = (entry / "status").read_text()
        except OSError:
            continue
        fields = dict(line.split(":\t", 1) for line in status.splitlines() if ":\t" in line)
        children.setdefault(int(fields["PPid"]), []).append(int(entry.name))
        uids[int(entry.name)] = int(fields["Uid"].split()[0])
    account_uid = os.stat(server.root).st_uid
    found, pending = [], [server.pid]
    while pending:
        for child in children.get(pending.pop(), []):
            pending.append(child)
            if uids.get(child) == account_uid:
                found.append(child)
    return found


@pytest.mark.parametrize("form", ["fingerprint", "key line"])
def test_right_pin_connects_and_logs_in(sshd, form):
    host_key = sshd.host_fingerprint() if form == "fingerprint" else sshd.host_public_key()
    since = len(sshd.log_text())
    client = sftp_main.TavrelSFTPMain(config(sshd, host_key=host_key, timeout=5))
    client._connect()
    try:
        assert client._normalize(".") == str(sshd.root)
    finally:
        client._close()
    assert PASSWORD_REQUEST in new_log_lines(sshd, since)


def test_wrong_pin_raises_before_the_password_is_sent(sshd):
    since = len(sshd.log_text())
    wrong = "SHA256:" + "A" * 43
    client = sftp_main.TavrelSFTPMain(config(sshd, host_key=wrong))
    with pytest.raises(paramiko.BadHostKeyException, match=wrong) as raised:
        client._connect()
    assert sshd.host_fingerprint() in str(raised.value)
    assert not hasattr(client, "_sftp")
    # sshd saw the key exchange through, then the connection end, and nothing between.
    deadline = time.monotonic() + 5
    while not re.search(r"KEX done.*Connection (reset|closed) by", seen := new_log_lines(sshd, since), re.DOTALL):
        assert time.monotonic() < deadline, seen
        time.sleep(0.05)
    assert "userauth-request" not in seen and PASSWORD_REQUEST not in seen


def test_timeout_gives_up_on_a_stopped_session(sshd):
    client = sftp_main.TavrelSFTPMain(config(sshd, timeout=2))
    client._connect()
    stopped = session_processes(sshd)
    assert stopped
    for pid in stopped:
        os.kill(pid, signal.SIGSTOP)
    try:
        began = time.monotonic()
        with pytest.raises(TimeoutError):
            client._stat(".")
        assert time.monotonic() - began < 3
    finally:
        for pid in stopped:
            os.kill(pid, signal.SIGCONT)
        client._close()


def test_atomic_upload_replaces_a_file_through_posix_rename(sshd, tmp_path):
    # OpenSSH's plain rename refuses an existing target: only posix-rename
    # can put the second upload in place.
    source = tmp_path / "source.bin"
    client = sftp_main.TavrelSFTPMain(config(sshd, atomic_upload=True))
    client._connect()
    try:
        client._mkdir("atomic")
        for content in (os.urandom(200_000), b"second"):
            source.write_bytes(content)
            assert client._upload(str(source), "atomic/target.bin") is True
    finally:
        client._close()
    assert os.listdir(sshd.root / "atomic") == ["target.bin"]
    assert (sshd.root / "atomic" / "target.bin").read_bytes() == b"second"
