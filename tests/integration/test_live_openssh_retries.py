"""With "retries", against the system's own OpenSSH through the fault relay:
a transfer whose connection drops reconnects and carries on from the last
byte written, with a backoff between attempts; the reconnect makes every
check again, so a server with another key is refused before any
credential; and what is not a dropped connection is never retried."""

import logging
import os
import re
import time

import pytest
from fault_relay import DOWN, EITHER, UP, Cut, FaultRelay
from test_live_openssh_through_relay import close_after_cut, config, log_after_kex, other_sshd, sshd  # noqa: F401

import sftp_main

BIG = 64 * 1024 * 1024
EVERY = 16 * 1024 * 1024
SMALL = 8 * 1024 * 1024

# paramiko's threads find the connection cut under them.
pytestmark = pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")


@pytest.fixture(scope="module")
def big(sshd):
    data = os.urandom(BIG)
    (sshd.root / "big.bin").write_bytes(data)
    return data


@pytest.fixture(scope="module")
def small(sshd):
    data = os.urandom(SMALL)
    (sshd.root / "small.bin").write_bytes(data)
    return data


def failure_records(caplog):
    """The module's records; a transfer's failure is one of them."""
    return [r for r in caplog.records if r.name.startswith("sftp_main") and "returned False" in r.getMessage()]


def three_cuts(direction):
    """Cut at 16, 32 and 48 MiB of the file: three reconnects finish it."""
    return [Cut(direction, EVERY)] * 3


# --- carrying on after a cut ---


def test_a_download_cut_three_times_carries_on_and_moves_the_file_about_once(sshd, big, tmp_path):
    destination = tmp_path / "copy.bin"
    with FaultRelay((sshd.host, sshd.port), cuts=three_cuts(DOWN)) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=3))
        client._connect()
        first_sftp, first_ssh = client._sftp, client._ssh
        first_transport = first_sftp.get_channel().get_transport()
        began = time.monotonic()
        try:
            assert client._download("big.bin", str(destination)) is True
            took = time.monotonic() - began
            # New clients where _connect keeps them; the old ones closed.
            assert client._sftp is not first_sftp and client._ssh is not first_ssh
            assert not first_transport.is_active()
            # The new client is the one the next call uses.
            assert client._stat("big.bin").st_size == BIG
        finally:
            client._close()
        assert [c.cut is not None for c in relay.connections] == [True, True, True, False]
        assert relay.carried(DOWN) <= 1.25 * BIG
    assert destination.read_bytes() == big
    assert sorted(os.listdir(tmp_path)) == ["copy.bin"]
    # About 1 + 2 + 4 s between the attempts.
    assert took >= 6.0


def test_an_upload_cut_three_times_carries_on_and_moves_the_file_about_once(sshd, tmp_path):
    source = tmp_path / "source.bin"
    data = os.urandom(BIG)
    source.write_bytes(data)
    with FaultRelay((sshd.host, sshd.port), cuts=three_cuts(UP)) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=3))
        client._connect()
        try:
            assert client._upload(str(source), "uploaded.bin") is True
        finally:
            client._close()
        assert [c.cut is not None for c in relay.connections] == [True, True, True, False]
        assert relay.carried(UP) <= 1.25 * BIG
    try:
        assert (sshd.root / "uploaded.bin").read_bytes() == data
        # Without "resume" the upload writes the destination itself: no staging.
        assert not [name for name in os.listdir(sshd.root) if name.startswith(".")]
    finally:
        os.remove(sshd.root / "uploaded.bin")


def test_the_directory_chdir_set_is_restored_on_the_new_connection(sshd, small, tmp_path):
    (sshd.root / "inner").mkdir(exist_ok=True)
    (sshd.root / "inner" / "small.bin").write_bytes(small[::-1])
    try:
        with FaultRelay((sshd.host, sshd.port), cuts=[Cut(DOWN, 2 * 1024 * 1024)]) as relay:
            client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=2))
            client._connect()
            try:
                assert client._chdir("inner") is True
                assert client._download("small.bin", str(tmp_path / "copy.bin")) is True
                assert client._normalize(".") == str(sshd.root / "inner")
            finally:
                client._close()
            assert len(relay.connections) == 2
        # The file of the directory chdir set, not the one of the login's.
        assert (tmp_path / "copy.bin").read_bytes() == small[::-1]
    finally:
        (sshd.root / "inner" / "small.bin").unlink()
        (sshd.root / "inner").rmdir()


@pytest.mark.parametrize("reset", [False, True], ids=["end of stream", "reset"])
def test_when_the_retries_run_out_it_returns_false_saying_how_many_attempts(sshd, small, tmp_path, caplog, reset):
    destination = tmp_path / "copy.bin"
    destination.write_bytes(b"what was there before")
    caplog.set_level(logging.INFO)
    with FaultRelay((sshd.host, sshd.port), cut_every=Cut(DOWN, 1024 * 1024), reset=reset) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=2))
        client._connect()
        began = time.monotonic()
        try:
            assert client._download("small.bin", str(destination)) is False
            took = time.monotonic() - began
        finally:
            close_after_cut(client)
        # The first connection and two more: no fourth.
        assert len(relay.connections) == 3
    assert took >= 2.5  # about 1 + 2 s of backoff
    assert destination.read_bytes() == b"what was there before"
    assert sorted(os.listdir(tmp_path)) == ["copy.bin"]
    records = failure_records(caplog)
    assert records, caplog.text
    said = records[-1].getMessage()
    assert "attempts" in said
    assert re.search(r"\b3\b", said), said


def test_raise_on_failure_raises_after_the_last_attempt(sshd, small, tmp_path):
    with FaultRelay((sshd.host, sshd.port), cut_every=Cut(DOWN, 1024 * 1024)) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=1, raise_on_failure=True))
        client._connect()
        try:
            with pytest.raises(Exception) as raised:
                client._download("small.bin", str(tmp_path / "copy.bin"))
            assert not isinstance(raised.value, (ValueError, TypeError))
        finally:
            close_after_cut(client)
        assert len(relay.connections) == 2
    assert not (tmp_path / "copy.bin").exists()


def test_a_stalled_upload_whose_timeout_expires_counts_as_a_drop(sshd, tmp_path):
    source = tmp_path / "source.bin"
    data = os.urandom(SMALL)
    source.write_bytes(data)
    with FaultRelay((sshd.host, sshd.port), cuts=[Cut(UP, 3 * 1024 * 1024, stall=True)]) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=1, timeout=2))
        client._connect()
        try:
            assert client._upload(str(source), "stalled.bin") is True
        finally:
            client._close()
        assert relay.connections[0].cut is not None and relay.connections[0].cut.stall
        assert len(relay.connections) == 2
    try:
        assert (sshd.root / "stalled.bin").read_bytes() == data
    finally:
        (sshd.root / "stalled.bin").unlink(missing_ok=True)


def test_a_stalled_download_whose_timeout_expires_counts_as_a_drop(sshd, small, tmp_path):
    with FaultRelay((sshd.host, sshd.port), cuts=[Cut(DOWN, 3 * 1024 * 1024, stall=True)]) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=1, timeout=2))
        client._connect()
        try:
            assert client._download("small.bin", str(tmp_path / "copy.bin")) is True
        finally:
            client._close()
        assert relay.connections[0].cut is not None and relay.connections[0].cut.stall
        assert len(relay.connections) == 2
    assert (tmp_path / "copy.bin").read_bytes() == small


def test_a_session_that_died_idle_is_reconnected_at_the_next_transfer(sshd, small, tmp_path):
    # The cut comes with the first keepalive request after the login, while
    # the client is idle.
    with FaultRelay((sshd.host, sshd.port), cuts=[Cut(UP, logged_in_bytes(sshd) + 1)]) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=1, keepalive=1))
        client._connect()
        try:
            assert relay.wait_until_ended(0, timeout=15)
            assert relay.connections[0].cut is not None
            assert client._download("small.bin", str(tmp_path / "copy.bin")) is True
        finally:
            client._close()
        assert len(relay.connections) == 2
    assert (tmp_path / "copy.bin").read_bytes() == small


def logged_in_bytes(sshd):
    """What the login sends up: the same each time."""
    with FaultRelay((sshd.host, sshd.port)) as probe:
        client = sftp_main.TavrelSFTPMain(config(sshd, probe))
        client._connect()
        client._close()
        assert probe.wait_until_ended(0)
        return probe.connections[0].carried[UP]


def test_a_session_found_dead_whose_first_reconnect_fails_is_tried_again(sshd, small, tmp_path):
    # Dead while idle, then the server unreachable for one connection.
    cuts = [Cut(UP, logged_in_bytes(sshd) + 1), Cut(DOWN, 0)]
    with FaultRelay((sshd.host, sshd.port), cuts=cuts) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=2, keepalive=1))
        client._connect()
        try:
            assert relay.wait_until_ended(0, timeout=15)
            assert client._download("small.bin", str(tmp_path / "copy.bin")) is True
        finally:
            close_after_cut(client)
        assert len(relay.connections) == 3
    assert (tmp_path / "copy.bin").read_bytes() == small


# --- what is never retried ---


def unreadable(sshd):
    path = sshd.root / "root_only.bin"
    path.write_bytes(b"secret")
    os.chown(path, 0, 0)
    os.chmod(path, 0o600)
    return "root_only.bin"


@pytest.mark.parametrize("failure", ["no such file", "permission", "progress raises"])
def test_a_failure_that_is_not_a_drop_is_not_retried(sshd, small, tmp_path, failure):
    def progress(done, total):
        if done > 1024 * 1024:
            raise RuntimeError("the caller's own error")

    options = {"retries": 3}
    source = "small.bin"
    if failure == "no such file":
        source = "not-there.bin"
    elif failure == "permission":
        if os.geteuid() != 0:
            pytest.skip("needs root to make a file the account cannot read")
        source = unreadable(sshd)
    else:
        options["progress"] = progress
    with FaultRelay((sshd.host, sshd.port)) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, **options))
        client._connect()
        try:
            assert client._download(source, str(tmp_path / "copy.bin")) is False
        finally:
            client._close()
        # A retry would have made a second connection.
        assert len(relay.connections) == 1
    assert not (tmp_path / "copy.bin").exists()


def test_a_path_operation_on_a_dropped_connection_is_not_retried(sshd, small):
    relay = FaultRelay((sshd.host, sshd.port)).start()
    client = sftp_main.TavrelSFTPMain(config(sshd, relay, retries=3))
    try:
        client._connect()
        first_sftp = client._sftp
        relay.stop()  # the link drops under the idle client
        try:
            made = client._mkdir("made_after_the_drop")
        except Exception:
            made = None
        assert made is not True
        assert client._sftp is first_sftp
        assert len(relay.connections) == 1
    finally:
        relay.stop()
        close_after_cut(client)
    assert not (sshd.root / "made_after_the_drop").exists()


# --- the reconnect makes every check again ---


@pytest.mark.parametrize("checked", [False, True], ids=["nothing pinned", "host_key pinned"])
def test_a_reconnect_that_reaches_another_key_is_refused_before_any_credential(sshd, other_sshd, small, tmp_path,
                                                                               checked):
    destination = tmp_path / "copy.bin"
    destination.write_bytes(b"what was there before")
    options = {"retries": 3}
    if checked:
        options["host_key"] = sshd.host_fingerprint()
    with FaultRelay((sshd.host, sshd.port), cuts=[Cut(DOWN, 2 * 1024 * 1024)],
                    second_target=(other_sshd.host, other_sshd.port)) as relay:
        client = sftp_main.TavrelSFTPMain(config(sshd, relay, **options))
        client._connect()
        relay.switch_to((other_sshd.host, other_sshd.port))
        since = len(other_sshd.log_text())
        try:
            assert client._download("small.bin", str(destination)) is False
        finally:
            close_after_cut(client)
        # Refused, and a refusal is not retried.
        assert [c.target for c in relay.connections] == [(sshd.host, sshd.port), (other_sshd.host, other_sshd.port)]
    seen = log_after_kex(other_sshd, since)
    assert "userauth-request" not in seen and "method password" not in seen
    assert sshd.password not in seen
    assert destination.read_bytes() == b"what was there before"


# --- through the jump host ---


def jump_config(target, target_address, jump, jump_address, **options):
    """"ssh" on: the target's account at ``target_address``, through ``jump``'s at ``jump_address``."""
    return {"host": target_address[0], "port": target_address[1], "user": target.user, "password": target.password,
            "ssh": True, "ssh_host": jump_address[0], "ssh_port": jump_address[1], "ssh_user": jump.user,
            "ssh_password": jump.password, **options}


def test_a_dropped_target_link_is_reconnected_through_the_tunnel(sshd, other_sshd, small, tmp_path):
    # other_sshd is the jump host; the relay sits between it and the target.
    with FaultRelay((sshd.host, sshd.port), cuts=[Cut(DOWN, 2 * 1024 * 1024)]) as relay:
        client = sftp_main.TavrelSFTPMain(
            jump_config(sshd, relay.address, other_sshd, (other_sshd.host, other_sshd.port), retries=2))
        client._connect()
        try:
            assert client._download("small.bin", str(tmp_path / "copy.bin")) is True
        finally:
            client._close()
        assert len(relay.connections) == 2 and relay.connections[0].cut is not None
    assert (tmp_path / "copy.bin").read_bytes() == small
    # Both target links went through the jump host, to the relay.
    assert other_sshd.log_text().count(f"target {relay.host} port {relay.port}") == 2


def cut_jump_connection(sshd, other_sshd, tmp_path, caplog):
    """A download through other_sshd as the jump host, whose own connection is cut."""
    caplog.set_level(logging.DEBUG)
    destination = tmp_path / "copy.bin"
    with FaultRelay((other_sshd.host, other_sshd.port), cuts=[Cut(EITHER, 2 * 1024 * 1024)]) as jump_relay:
        client = sftp_main.TavrelSFTPMain(
            jump_config(sshd, (sshd.host, sshd.port), other_sshd, jump_relay.address, retries=2))
        client._connect()
        try:
            assert client._download("small.bin", str(destination)) is False
        finally:
            close_after_cut(client)
        # The tunnel keeps the one jump connection it made: none after the cut.
        assert len(jump_relay.connections) == 1 and jump_relay.connections[0].cut is not None
    assert not destination.exists()
    assert sorted(os.listdir(tmp_path)) == []
    return f"jump host {jump_relay.host}:{jump_relay.port}"


def test_a_dropped_jump_connection_is_not_re_established_and_the_tunnel_says_so(sshd, other_sshd, small, tmp_path,
                                                                               caplog):
    label = cut_jump_connection(sshd, other_sshd, tmp_path, caplog)
    said = [r.getMessage() for r in caplog.records if r.name == "tavrel.tunnel" and r.levelno == logging.WARNING]
    assert f"tunnel connection refused: the connection to {label} is closed" in said, caplog.text
    [failure] = failure_records(caplog)
    assert "after 3 attempts" in failure.getMessage()


def test_a_dropped_jump_connection_fails_with_a_record_that_names_the_jump_host(sshd, other_sshd, small, tmp_path,
                                                                               caplog):
    address = cut_jump_connection(sshd, other_sshd, tmp_path, caplog).removeprefix("jump host ")
    [failure] = failure_records(caplog)
    # In the notes of the error the record carries.
    said = logging.Formatter().format(failure)
    assert f"jump host {other_sshd.user}@{address}" in said, said
    assert "make a new instance" in said
