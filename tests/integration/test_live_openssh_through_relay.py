"""The module against the system's own OpenSSH through the fault relay: a
transfer whose connection is cut returns False on that first cut, with the
destination as it was and no part file; and a connection the relay sends to
another sshd, with another host key, is refused before any credential."""

import os
import re
import time

import paramiko
import pytest
from fault_relay import DOWN, UP, Cut, FaultRelay
from openssh_server import OpenSSHServer, unavailable_reason

import sftp_main

SIZE = 8 * 1024 * 1024
CUT_AT = 2 * 1024 * 1024


@pytest.fixture(scope="module")
def sshd():
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    with OpenSSHServer() as server:
        yield server


@pytest.fixture(scope="module")
def other_sshd(sshd):
    with OpenSSHServer() as server:
        yield server


@pytest.fixture(scope="module")
def payload(sshd):
    data = os.urandom(SIZE)
    (sshd.root / "big.bin").write_bytes(data)
    return data


def config(server, relay, **options):
    return {"host": relay.host, "port": relay.port, "user": server.user, "password": server.password, **options}


def log_after_kex(server, since):
    """sshd's log from ``since`` on, once it has shown its key (its half of the
    key exchange is sent) and the connection has ended. The client's last
    key exchange message may be lost to the reset of a refusing client's
    close, so sshd need not have logged the exchange as done."""
    deadline = time.monotonic() + 10
    while not re.search(r"SSH2_MSG_NEWKEYS sent.*Connection (reset|closed) by", seen := server.log_text()[since:],
                        re.DOTALL):
        assert time.monotonic() < deadline, seen
        time.sleep(0.05)
    return seen


def close_after_cut(client):
    """_close() raises what paramiko's close raises: on a link just cut, its
    goodbye to the server may meet the dead socket before paramiko's thread
    has seen the end, and raise EOFError."""
    try:
        client._close()
    except (EOFError, OSError):
        pass


def test_the_relay_carries_a_whole_download_intact(sshd, payload, tmp_path):
    with FaultRelay((sshd.host, sshd.port)) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay))
        client._connect()
        try:
            assert client._download("big.bin", str(tmp_path / "copy.bin")) is True
        finally:
            client._close()
        assert (tmp_path / "copy.bin").read_bytes() == payload
        assert relay.carried(DOWN) > SIZE
        assert len(relay.connections) == 1 and relay.connections[0].cut is None


# paramiko's prefetch thread finds the connection cut under it.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
@pytest.mark.parametrize("reset", [False, True], ids=["end of stream", "reset"])
def test_a_cut_download_returns_false_and_leaves_the_destination_and_no_part(sshd, payload, tmp_path, reset):
    destination = tmp_path / "copy.bin"
    destination.write_bytes(b"what was there before")
    before = sorted(os.listdir(tmp_path))
    with FaultRelay((sshd.host, sshd.port), cuts=[Cut(DOWN, CUT_AT)], reset=reset) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay))
        client._connect()
        try:
            assert client._download("big.bin", str(destination)) is False
        finally:
            close_after_cut(client)
        assert relay.connections[0].cut == Cut(DOWN, CUT_AT)
        assert relay.connections[0].carried[DOWN] == CUT_AT
        # The first cut ends it: nothing reconnects.
        assert len(relay.connections) == 1
    assert destination.read_bytes() == b"what was there before"
    assert sorted(os.listdir(tmp_path)) == before


def test_a_cut_upload_returns_false_on_the_first_cut(sshd, tmp_path):
    source = tmp_path / "source.bin"
    source.write_bytes(os.urandom(SIZE))
    with FaultRelay((sshd.host, sshd.port), cuts=[Cut(UP, CUT_AT)]) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay))
        client._connect()
        try:
            assert client._upload(str(source), "uploaded.bin") is False
        finally:
            close_after_cut(client)
        assert relay.connections[0].carried[UP] == CUT_AT
        assert len(relay.connections) == 1
    # The contract's put writes the destination itself: what reached the
    # server before the cut is all it holds.
    assert (sshd.root / "uploaded.bin").stat().st_size < CUT_AT


@pytest.mark.parametrize("check", ["host_key", "known_hosts"])
def test_a_connection_sent_to_another_sshd_is_refused_before_any_credential(sshd, other_sshd, tmp_path, check):
    def checked(relay):
        if check == "host_key":
            return {"host_key": sshd.host_fingerprint()}
        listing = tmp_path / "known_hosts"
        listing.write_text(f"[{relay.host}]:{relay.port} {sshd.host_public_key()}\n")
        return {"known_hosts": str(listing)}

    with FaultRelay((sshd.host, sshd.port), second_target=(other_sshd.host, other_sshd.port)) as relay:
        options = checked(relay)
        first = sftp_main.TavrelSFTPMain(config(sshd, relay, **options))
        first._connect()
        try:
            assert first._normalize(".") == str(sshd.root)
        finally:
            first._close()

        relay.switch_to((other_sshd.host, other_sshd.port))
        since = len(other_sshd.log_text())
        second = sftp_main.TavrelSFTPMain(config(sshd, relay, **options))
        with pytest.raises(paramiko.BadHostKeyException) as raised:
            second._connect()
        assert other_sshd.host_fingerprint() in str(raised.value)
        assert not hasattr(second, "_sftp")
        assert [c.target for c in relay.connections] == [(sshd.host, sshd.port), (other_sshd.host, other_sshd.port)]
    seen = log_after_kex(other_sshd, since)
    assert "userauth-request" not in seen and "method password" not in seen
    assert sshd.password not in seen
